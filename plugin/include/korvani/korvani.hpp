#pragma once

// What a host application uses, in one include: the configuration and the records built from
// the host's JSON, the component, the host checkout interfaces, the main queue and the URL
// session's settings. The request assembly, the service layer, the encoders and the loading view
// have headers of their own; the ready-made host objects are in korvani/host/stand_ins.hpp
// (library korvani::host_stand_ins).

#include "korvani/auth_code.hpp"
#include "korvani/constants.hpp"
#include "korvani/decimal.hpp"
#include "korvani/exchange_observer.hpp"
#include "korvani/host/checkout.hpp"
#include "korvani/host/plugin.hpp"
#include "korvani/host/reachability.hpp"
#include "korvani/host/tracker.hpp"
#include "korvani/json.hpp"
#include "korvani/payment.hpp"
#include "korvani/payment_discount.hpp"
#include "korvani/payment_plugin_component.hpp"
#include "korvani/payment_plugin_configuration.hpp"
#include "korvani/payment_plugin_merchant_order.hpp"
#include "korvani/payment_plugin_preference.hpp"
#include "korvani/platform/error.hpp"
#include "korvani/platform/main_queue.hpp"
#include "korvani/platform/url_session.hpp"
