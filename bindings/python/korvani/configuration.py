"""The configuration: everything the host tells the plug-in."""

import ctypes

from . import _callbacks, _json, _native
from ._library import Handle, call, lib

_TEXTS = {
    "base_url": _native.CONFIG_BASE_URL,
    "path": _native.CONFIG_PATH,
    "access_token": _native.CONFIG_ACCESS_TOKEN,
    "app_version": _native.CONFIG_APP_VERSION,
    "session_id": _native.CONFIG_SESSION_ID,
    "platform": _native.CONFIG_PLATFORM,
    "site_id": _native.CONFIG_SITE_ID,
    "source": _native.CONFIG_SOURCE,
    "user_agent": _native.CONFIG_USER_AGENT,
}

_RECORDS = {
    "checkout_preference": "configuration_set_checkout_preference",
    "merchant_order": "configuration_set_merchant_order",
    "discount": "configuration_set_discount",
}

_MEMBERS = set(_TEXTS) | set(_RECORDS) | {"internal_metadata", "sha256"}


class Configuration(Handle):
    """Where to pay, who calls, what is paid and how to digest.

    Every member is also a keyword of the constructor. Texts are str or None (absent);
    `platform` is "ios" until set. The records (checkout_preference, merchant_order, discount)
    and internal_metadata are dicts, or their JSON text; give amounts as decimal.Decimal,
    never float. A record the plug-in cannot build (a merchant order without a whole-number
    "id") reads back as None. `sha256` is a callable answering the lower-case hex SHA-256 of
    its text (korvani.sha256_hex does), or None. Components share the configuration and read it
    afresh for every payment. Release it with release() or a `with` block; a component keeps
    its own reference.
    """

    _release_function = staticmethod(lib.configuration_release)

    def __init__(self, **members):
        handle = ctypes.c_void_p()
        call(lib.configuration_new, ctypes.byref(handle))
        self._own(handle)
        self._values = {"platform": "ios", "internal_metadata": {}}
        try:
            for name, value in members.items():
                if name not in _MEMBERS:
                    raise TypeError(f"Configuration has no member {name!r}")
                setattr(self, name, value)
        except BaseException:
            self.release()
            raise

    def __getattr__(self, name):
        if name in _MEMBERS:
            return self.__dict__["_values"].get(name)
        raise AttributeError(name)

    def __setattr__(self, name, value):
        if name in _TEXTS:
            call(lib.configuration_set_text, self.handle, _TEXTS[name], _native.c_text(value))
            value = "" if name == "platform" and value is None else value
        elif name in _RECORDS:
            built = ctypes.c_int(0)
            call(getattr(lib, _RECORDS[name]), self.handle,
                 _native.c_text(_json.object_text(value)), ctypes.byref(built))
            value = value if built.value else None
        elif name == "internal_metadata":
            call(lib.configuration_set_internal_metadata, self.handle,
                 _native.c_text(_json.object_text(value)))
        elif name == "sha256":
            self._set_sha256(value)
        else:
            object.__setattr__(self, name, value)
            return
        self._values[name] = value

    def _set_sha256(self, hook):
        if hook is None:
            call(lib.configuration_set_sha256_hook, self.handle, None)
            return
        if not callable(hook):
            raise TypeError("sha256 is a callable (text -> hex digest) or None")
        table = _callbacks.table(_native.Sha256Hook, hook, digest=_callbacks.digest)
        call(lib.configuration_set_sha256_hook, self.handle, ctypes.byref(table))
