// The sandbox dashboard: follows the journal over server-sent events and draws it. Everything
// shown comes from requests that anyone on this machine could send, so the page is built from
// elements and text nodes only; no received text ever passes through markup parsing.
'use strict';

(() => {
  const SVG = 'http://www.w3.org/2000/svg';
  // Lanes drawn at most; older connections scroll out of the picture first.
  const MAX_LANES = 16;
  const MAX_CONNECTIONS = 256;
  // Longer stretches without a handshake or request on any lane are idle (microseconds).
  const IDLE = 20000;

  const state = {
    requests: new Map(),  // seq -> summary, oldest first
    connections: new Map(),  // id -> connection
    capacity: 0,
    startedAt: 0,
    now: 0,
    selected: null,
    scenariosShown: false,
  };

  const byId = (id) => document.getElementById(id);

  // An element with attributes and children; strings become text nodes.
  function el(tag, attributes = {}, ...children) {
    const node = document.createElement(tag);
    for (const [name, value] of Object.entries(attributes)) node.setAttribute(name, value);
    for (const child of children) {
      node.append(child instanceof Node ? child : document.createTextNode(String(child)));
    }
    return node;
  }

  function svg(tag, attributes = {}) {
    const node = document.createElementNS(SVG, tag);
    for (const [name, value] of Object.entries(attributes)) node.setAttribute(name, value);
    return node;
  }

  function clockTime(micros) {
    const date = new Date(state.startedAt + micros / 1000);
    const two = (n) => String(n).padStart(2, '0');
    return `${two(date.getHours())}:${two(date.getMinutes())}:${two(date.getSeconds())}.` +
        String(date.getMilliseconds()).padStart(3, '0');
  }

  function outcome(request) {
    if (request.dropped) return 'dropped';
    if (request.status === 409) return 'conflict';
    if (request.replayed) return 'replay';
    return request.status >= 200 && request.status < 300 ? 'ok' : 'error';
  }

  function answerText(request) {
    return request.dropped ? 'dropped' : String(request.status);
  }

  function flags(request) {
    const cell = el('td', {class: 'c-flags'});
    if (request.replayed) cell.append(el('span', {class: 'badge replay'}, 'replay'));
    if (request.status === 409) cell.append(el('span', {class: 'badge conflict'}, '409'));
    if (request.dropped) cell.append(el('span', {class: 'badge dropped'}, 'dropped'));
    return cell;
  }

  function apply(update) {
    if (update.reset) {
      state.requests.clear();
      state.connections.clear();
    }
    for (const request of update.requests) state.requests.set(request.seq, request);
    for (const connection of update.connections) state.connections.set(connection.id, connection);
    // The server has forgotten these too.
    for (const seq of state.requests.keys()) {
      if (state.requests.size <= update.capacity) break;
      state.requests.delete(seq);
    }
    for (const id of [...state.connections.keys()].sort((a, b) => a - b)) {
      if (state.connections.size <= MAX_CONNECTIONS) break;
      state.connections.delete(id);
    }
    if (state.selected !== null && !state.requests.has(state.selected)) select(null);
    state.capacity = update.capacity;
    state.startedAt = update.startedAt;
    state.now = update.now;

    if (!state.scenariosShown) {
      const choice = byId('scenario');
      for (const name of update.scenarios) choice.append(el('option', {value: name}, name));
      state.scenariosShown = true;
    }
    byId('next-scenario').textContent =
        update.nextScenario === null ? '' : `next payment: ${update.nextScenario}`;
    const c = update.counters;
    const count = (n, what) => `${n} ${what}${n === 1 ? '' : 's'}`;
    byId('counters').textContent = `${count(c.requests, 'request')}, ` +
        `${count(c.connections, 'connection')}, ${count(c.handshakes, 'handshake')}`;
    byId('capacity').textContent = `the journal keeps the last ${update.capacity} requests`;
    render();
  }

  function render() {
    renderRequests();
    renderPayments();
    renderLanes();
  }

  function renderRequests() {
    const rows = [];
    for (const request of [...state.requests.values()].reverse()) {
      const row = el('tr', {'data-seq': request.seq, 'data-connection': request.connection},
          el('td', {class: 'c-seq'}, request.seq),
          el('td', {class: 'c-time'}, clockTime(request.start)),
          el('td', {class: 'c-method'}, request.method),
          el('td', {class: 'c-path', title: request.target}, request.target),
          el('td', {class: `c-status status-${request.dropped ? 'dropped' : String(request.status)[0]}`},
              answerText(request)),
          el('td', {class: 'c-scenario'}, request.scenario ?? ''),
          el('td', {class: 'c-payment'}, request.payment ?? ''),
          el('td', {class: 'c-amount'}, request.amount ?? ''),
          el('td', {class: 'c-key', title: request.key ?? ''}, request.key ?? ''),
          flags(request),
          el('td', {class: 'c-conn'}, `#${request.connection}`),
          el('td', {class: 'c-ms'}, ((request.end - request.start) / 1000).toFixed(1)));
      if (request.seq === state.selected) row.classList.add('selected');
      row.addEventListener('click', () => select(request.seq));
      rows.push(row);
    }
    byId('requests').tBodies[0].replaceChildren(...rows);
    byId('empty').hidden = rows.length > 0;
  }

  // One row per payment created: its amount and status, and what its key brought (the
  // requests that carried it: re-sends, replays, conflicts).
  function renderPayments() {
    const payments = new Map();
    const perKey = new Map();
    for (const request of state.requests.values()) {
      if (request.key !== null) perKey.set(request.key, (perKey.get(request.key) ?? 0) + 1);
      if (request.payment === null) continue;
      const payment = payments.get(request.payment) ??
          {id: request.payment, amount: null, status: null, key: request.key};
      payment.amount ??= request.amount;
      payment.status ??= request.paymentStatus;
      payments.set(request.payment, payment);
    }
    const rows = [];
    for (const payment of [...payments.values()].reverse()) {
      const requests = payment.key === null ? 1 : perKey.get(payment.key);
      rows.push(el('tr', {'data-payment': payment.id},
          el('td', {class: 'c-payment'}, payment.id),
          el('td', {class: 'c-amount'}, payment.amount ?? ''),
          el('td', {class: 'c-status'}, payment.status ?? ''),
          el('td', {class: 'c-key', title: payment.key ?? ''}, payment.key ?? '(none)'),
          el('td', {class: 'c-requests'},
              `1 charge, ${requests} request${requests === 1 ? '' : 's'}`)));
    }
    byId('payments').tBodies[0].replaceChildren(...rows);
  }

  // The lanes' time axis: real time where something happens, while each idle stretch (longer
  // than IDLE) takes only a sixth of the busy time, and is marked with its real length. So
  // reuse, warm-up and re-sends stay visible at a glance, minutes apart or not.
  function makeAxis(times) {
    const sorted = [...new Set(times)].sort((a, b) => a - b);
    let busy = 0;
    for (let i = 1; i < sorted.length; i++) {
      const real = sorted[i] - sorted[i - 1];
      if (real <= IDLE) busy += real;
    }
    const idleWidth = Math.max(busy / 6, 200);
    const virtual = [0];
    const gaps = [];
    for (let i = 1; i < sorted.length; i++) {
      const real = sorted[i] - sorted[i - 1];
      const width = real > IDLE ? Math.min(real, idleWidth) : real;
      virtual.push(virtual[i - 1] + width);
      if (real > IDLE) gaps.push({at: virtual[i - 1] + width / 2, real});
    }
    const span = Math.max(virtual[virtual.length - 1], 1);
    const position = (t) => {
      let lo = 0;
      let hi = sorted.length - 1;
      while (lo < hi) {
        const mid = (lo + hi + 1) >> 1;
        if (sorted[mid] <= t) lo = mid; else hi = mid - 1;
      }
      if (lo + 1 >= sorted.length) return virtual[lo];
      const fraction = (t - sorted[lo]) / (sorted[lo + 1] - sorted[lo]);
      return virtual[lo] + fraction * (virtual[lo + 1] - virtual[lo]);
    };
    return {span, gaps, position};
  }

  function renderLanes() {
    const picture = byId('lanes');
    const connections = [...state.connections.values()].sort((a, b) => a.id - b.id)
        .slice(-MAX_LANES);
    const lanesOf = new Map(connections.map((c) => [c.id, []]));
    for (const request of state.requests.values()) lanesOf.get(request.connection)?.push(request);
    const times = [state.now];
    for (const c of connections) {
      times.push(c.accepted);
      for (const t of [c.handshakeStart, c.handshakeDone, c.closed]) if (t !== null) times.push(t);
      for (const r of lanesOf.get(c.id)) times.push(r.start, r.end);
    }
    const axis = makeAxis(times);
    const left = 92;
    const width = Math.max(picture.clientWidth, 400) - left - 16;
    const x = (t) => left + (axis.position(t) / axis.span) * width;
    const laneHeight = 26;
    const height = Math.max(connections.length, 1) * laneHeight + 8;
    picture.setAttribute('viewBox', `0 0 ${left + width + 16} ${height}`);
    picture.setAttribute('height', height);

    const nodes = [];
    for (const gap of axis.gaps) {
      const at = left + (gap.at / axis.span) * width;
      nodes.push(svg('line', {class: 'gap', x1: at, x2: at, y1: 0, y2: height}));
      const label = svg('text', {class: 'gap-label', x: at + 2, y: height - 2});
      label.textContent = `+${(gap.real / 1e6).toFixed(1)} s`;
      nodes.push(label);
    }
    connections.forEach((c, index) => {
      const y = 4 + index * laneHeight + laneHeight / 2;
      const requests = lanesOf.get(c.id);
      const lane = svg('g', {class: 'lane', 'data-connection': c.id});
      if (c.handshakeDone !== null && c.requests === 0) lane.classList.add('warm-up');
      const label = svg('text', {class: 'label', x: 4, y: y + 4});
      label.textContent = `#${c.id}${c.handshakeDone !== null && c.requests === 0 ? ' warm-up' : ''}`;
      lane.append(label);
      const end = c.closed ?? state.now;
      lane.append(svg('line', {class: `lane-line${c.closed === null ? ' open' : ''}`,
        x1: x(c.accepted), x2: Math.max(x(end), x(c.accepted) + 1), y1: y, y2: y}));
      if (c.handshakeStart !== null) {
        const from = x(c.handshakeStart);
        const to = x(c.handshakeDone ?? end);
        const mark = svg('rect', {class: 'handshake', x: from, y: y - 5,
          width: Math.max(to - from, 3), height: 10});
        const title = svg('title');
        title.textContent = c.handshakeDone === null ? 'TLS handshake (not completed)' :
            `TLS handshake, ${((c.handshakeDone - c.handshakeStart) / 1000).toFixed(1)} ms`;
        mark.append(title);
        lane.append(mark);
      }
      for (const r of requests) {
        const from = x(r.start);
        const mark = svg('rect', {class: `request ${outcome(r)}`, 'data-seq': r.seq, x: from,
          y: y - 8, width: Math.max(x(r.end) - from, 4), height: 16});
        if (r.seq === state.selected) mark.classList.add('selected');
        const title = svg('title');
        title.textContent = `#${r.seq} ${r.method} ${r.target} ${answerText(r)}` +
            `${r.replayed ? ' replay' : ''}${r.key ? ` key ${r.key}` : ''}`;
        mark.append(title);
        mark.addEventListener('click', () => select(r.seq));
        lane.append(mark);
      }
      if (c.closed !== null) {
        lane.append(svg('line', {class: 'close', x1: x(c.closed), x2: x(c.closed),
          y1: y - 7, y2: y + 7}));
      }
      nodes.push(lane);
    });
    picture.replaceChildren(...nodes);
  }

  function section(title, ...content) {
    return [el('h3', {}, title), ...content];
  }

  function bodyBlock(text, bytes, className) {
    const shown = [el('pre', {class: className}, text === '' ? '(empty)' : text)];
    if (bytes > text.length) {
      shown.push(el('p', {class: 'hint'}, `first ${text.length} of ${bytes} bytes`));
    }
    return shown;
  }

  async function select(seq) {
    state.selected = seq;
    render();
    const detail = byId('detail');
    if (seq === null) {
      detail.replaceChildren('Select a request to see its headers and bodies.');
      detail.className = 'hint';
      return;
    }
    let request;
    try {
      const answer = await fetch(`/api/requests/${seq}`);
      if (!answer.ok) throw new Error(`${answer.status}`);
      request = await answer.json();
    } catch (error) {
      detail.replaceChildren(`Request #${seq} is no longer in the journal.`);
      return;
    }
    if (state.selected !== seq) return;
    detail.className = '';
    const headers = el('table', {class: 'headers'},
        ...request.headers.map(([name, value]) => el('tr', {},
            el('td', {class: 'name'}, name), el('td', {class: 'value'}, value))));
    detail.replaceChildren(
        el('h2', {}, `Request #${request.seq} on connection #${request.connection}`),
        el('p', {class: 'target'}, `${request.method} ${request.target}`),
        ...section('Headers', headers),
        ...section('Body', ...bodyBlock(request.body, request.bodyBytes, 'request-body')),
        ...section(`Answer: ${answerText(request)}${request.replayed ? ' (replay)' : ''}`,
            el('p', {class: 'content-type'}, request.contentType),
            ...bodyBlock(request.answerBody, request.answerBytes, 'answer-body')));
  }

  function control(path) {
    return fetch(path, {method: 'POST'}).catch(() => undefined);
  }

  byId('set-scenario').addEventListener('click', () => {
    const name = byId('scenario').value;
    control(`/api/next-scenario?scenario=${encodeURIComponent(name)}`);
  });
  byId('clear').addEventListener('click', () => control('/api/clear'));
  window.addEventListener('resize', renderLanes);

  const events = new EventSource('/api/events');
  events.addEventListener('journal', (event) => apply(JSON.parse(event.data)));
  events.addEventListener('open', () => {
    byId('live').textContent = 'live';
    byId('live').className = 'live on';
  });
  events.addEventListener('error', () => {
    byId('live').textContent = 'reconnecting';
    byId('live').className = 'live off';
  });
})();
