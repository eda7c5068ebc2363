// tessavirn view: live pictures, PTZ, presets, I/O and the driver's log of one camera.
// Plain script, no dependencies; everything it shows comes from the /api paths of the
// program that serves it.
'use strict';

(function () {
  const LOG_LIMIT = 500;          // log lines kept in the page
  const MESSAGE_MS = 8000;        // how long a notice (not an error) stays up
  const IMAGE_RETRY_MS = 2000;    // wait before reopening a live picture that failed
  const EVENTS_RETRY_MS = 3000;   // wait before a new EventSource when the browser gave up
  // A browser opens at most six connections to one server. Every live picture holds one and
  // the event stream another, so beyond this many channels the rest take turns on a single
  // connection with snapshots, which leaves one free for commands.
  const LIVE_ALL_UP_TO = 4;
  const LIVE_WHEN_MORE = 3;

  const $ = (id) => document.getElementById(id);

  // ---- API ---------------------------------------------------------------------------------

  class ApiError extends Error {}

  // GET when body is undefined, else POST with a JSON object body. Resolves to the parsed
  // answer; rejects with ApiError carrying the server's {"error": ...} text.
  async function api(path, body) {
    const init = { headers: { Accept: 'application/json' }, cache: 'no-store' };
    if (body !== undefined) {
      init.method = 'POST';
      init.headers['Content-Type'] = 'application/json';
      init.body = JSON.stringify(body);
    }
    let response;
    try {
      response = await window.fetch(path, init);
    } catch (e) {
      throw new ApiError('the server does not answer (' + path + ')');
    }
    let data = null;
    try {
      data = await response.json();
    } catch (e) {
      data = null;
    }
    if (!response.ok) {
      const why = data && typeof data.error === 'string' ? data.error : response.statusText;
      throw new ApiError(why + ' (' + response.status + ')');
    }
    if (data === null) throw new ApiError('the answer to ' + path + ' is not JSON');
    return data;
  }

  // ---- Messages ----------------------------------------------------------------------------

  let messageTimer = 0;

  function showMessage(text, isError) {
    const box = $('message');
    $('message-text').textContent = text;
    box.classList.toggle('error', !!isError);
    box.hidden = false;
    clearTimeout(messageTimer);
    if (!isError) messageTimer = setTimeout(hideMessage, MESSAGE_MS);
  }

  function hideMessage() {
    clearTimeout(messageTimer);
    $('message').hidden = true;
  }

  function showError(what, error) {
    showMessage(what + ': ' + (error && error.message ? error.message : String(error)), true);
  }

  // ---- Header and connection ---------------------------------------------------------------

  function setConnection(state) {
    const badge = $('connection');
    badge.textContent = state;
    badge.className = 'connection ' + state;
    document.body.classList.toggle('offline', state === 'disconnected');
  }

  // ---- Channels ----------------------------------------------------------------------------

  const tiles = new Map();  // channel number -> {tile, img, state, fps, kbps, size, ...}
  let snapshotTurn = -1;    // index into the snapshot channels of the one loading now
  let snapshotBusy = false;

  function formatNumber(value, digits) {
    return typeof value === 'number' && isFinite(value) ? value.toFixed(digits) : '–';
  }

  function liveUrl(n) {
    return '/api/channels/' + n + '/live';
  }

  function makeTile(n) {
    const tile = document.createElement('figure');
    tile.className = 'tile';
    tile.id = 'channel-' + n;
    // The picture keeps the camera's shape within the height left for it, centred on a dark screen.
    const screen = document.createElement('div');
    screen.className = 'screen';
    const frame = document.createElement('div');
    frame.className = 'picture';
    const img = document.createElement('img');
    img.id = 'picture-' + n;
    img.alt = 'Channel ' + n;
    img.decoding = 'async';
    frame.appendChild(img);
    screen.appendChild(frame);
    const caption = document.createElement('figcaption');
    const title = document.createElement('span');
    title.className = 'tile-title';
    title.textContent = 'Channel ' + n;
    const state = document.createElement('span');
    state.id = 'state-' + n;
    state.className = 'state';
    const figures = document.createElement('span');
    figures.className = 'figures';
    const fps = document.createElement('span');
    fps.id = 'fps-' + n;
    const kbps = document.createElement('span');
    kbps.id = 'kbps-' + n;
    const size = document.createElement('span');
    size.id = 'size-' + n;
    figures.append(fps, kbps, size);
    caption.append(title, state, figures);
    tile.append(screen, caption);

    const entry = { n, tile, frame, img, state, fps, kbps, size, live: false, lastState: '', retry: 0 };
    img.addEventListener('load', () => {
      tile.classList.remove('no-picture');
    });
    img.addEventListener('error', () => {
      tile.classList.add('no-picture');
      if (!entry.live) return;
      // A live picture ends when the server drops it; open it again after a pause.
      clearTimeout(entry.retry);
      entry.retry = setTimeout(() => reopenLive(entry), IMAGE_RETRY_MS);
    });
    return entry;
  }

  function reopenLive(entry) {
    if (!entry.live) return;
    clearTimeout(entry.retry);
    // Clearing src first makes the browser request the stream again even for the same URL.
    entry.img.removeAttribute('src');
    entry.img.src = liveUrl(entry.n);
  }

  // Lays out one tile per channel of the status, in channel order, and decides which show live.
  function syncTiles(channels) {
    const wanted = channels.map((c) => c.channel);
    for (const [n, entry] of tiles) {
      if (!wanted.includes(n)) {
        entry.live = false;
        clearTimeout(entry.retry);
        entry.img.removeAttribute('src');
        entry.tile.remove();
        tiles.delete(n);
      }
    }
    const box = $('channels');
    const liveCount = wanted.length <= LIVE_ALL_UP_TO ? wanted.length : LIVE_WHEN_MORE;
    wanted.forEach((n, index) => {
      let entry = tiles.get(n);
      if (!entry) {
        entry = makeTile(n);
        tiles.set(n, entry);
      }
      // Only a tile out of channel order is moved: moving one would restart its picture.
      if (box.children[index] !== entry.tile) box.insertBefore(entry.tile, box.children[index] || null);
      const live = index < liveCount;
      if (live && !entry.live) {
        entry.live = true;
        entry.img.src = liveUrl(n);
      } else if (!live && entry.live) {
        entry.live = false;
        clearTimeout(entry.retry);
        entry.img.removeAttribute('src');
      }
      entry.tile.classList.toggle('snapshots', !live);
    });
    $('channels-empty').hidden = wanted.length > 0;
    box.classList.toggle('many', wanted.length > 2);
    if (wanted.length > liveCount) nextSnapshot();
  }

  // Channels past the live ones: one snapshot at a time, in turn.
  function nextSnapshot() {
    if (snapshotBusy) return;
    const waiting = [...tiles.values()].filter((e) => !e.live);
    if (waiting.length === 0) return;
    snapshotTurn = (snapshotTurn + 1) % waiting.length;
    const entry = waiting[snapshotTurn];
    snapshotBusy = true;
    const loader = new Image();
    const done = (ok) => {
      snapshotBusy = false;
      if (ok && !entry.live && tiles.get(entry.n) === entry) entry.img.src = loader.src;
      setTimeout(nextSnapshot, ok ? 250 : IMAGE_RETRY_MS);
    };
    loader.onload = () => done(true);
    loader.onerror = () => done(false);
    loader.src = '/api/channels/' + entry.n + '/snapshot?t=' + Date.now();
  }

  function showChannel(c) {
    const entry = tiles.get(c.channel);
    if (!entry) return;
    const state = typeof c.state === 'string' ? c.state : 'unknown';
    entry.state.textContent = state;
    entry.state.className = 'state state-' + state.replace(/\s+/g, '-');
    entry.tile.dataset.state = state;
    entry.fps.textContent = formatNumber(c.fps, 1) + ' fps';
    entry.kbps.textContent = formatNumber(c.kbps, 0) + ' kbit/s';
    if (c.width > 0 && c.height > 0) {
      entry.size.textContent = c.width + '×' + c.height;
      entry.frame.style.aspectRatio = c.width + ' / ' + c.height;
    } else {
      entry.size.textContent = '–×–';
    }
    // The server ends a live picture when the channel stops; take it up again when the
    // channel streams once more.
    if (entry.live && state === 'streaming' &&
        (entry.lastState === 'signal lost' || entry.lastState === 'stopped' ||
         entry.tile.classList.contains('no-picture'))) {
      reopenLive(entry);
    }
    entry.lastState = state;
  }

  // ---- Status --------------------------------------------------------------------------------

  let ptzChannels = -1;  // unknown until the first status

  function applyStatus(status) {
    if (!status || typeof status !== 'object') return;
    if (status.camera) {
      $('camera-address').textContent = status.camera.address || '–';
      $('camera-stream').textContent = status.camera.stream || '–';
      document.title = 'tessavirn view – ' + (status.camera.address || '');
    }
    if (Array.isArray(status.channels)) {
      syncTiles(status.channels);
      status.channels.forEach(showChannel);
    }
    if (Array.isArray(status.inputs)) syncInputs(status.inputs);
    if (Array.isArray(status.outputs)) syncOutputs(status.outputs);
    if (status.ptz && typeof status.ptz.channels === 'number') applyPtzCount(status.ptz.channels);
  }

  // ---- I/O -----------------------------------------------------------------------------------

  const INPUT_STATES = ['active', 'inactive', 'unknown'];

  function showInput(n, state) {
    const lamp = $('input-' + n);
    if (!lamp) return;
    const known = INPUT_STATES.includes(state) ? state : 'unknown';
    lamp.classList.remove(...INPUT_STATES);
    lamp.classList.add(known);
    lamp.querySelector('.lamp-state').textContent = known;
    lamp.title = 'Input ' + n + ': ' + known;
  }

  function syncInputs(inputs) {
    const list = $('inputs');
    const numbers = inputs.map((i) => i.input);
    if (list.children.length !== numbers.length ||
        numbers.some((n, k) => list.children[k].dataset.input !== String(n))) {
      list.textContent = '';
      for (const n of numbers) {
        const li = document.createElement('li');
        li.id = 'input-' + n;
        li.className = 'lamp unknown';
        li.dataset.input = String(n);
        const dot = document.createElement('span');
        dot.className = 'dot';
        dot.setAttribute('aria-hidden', 'true');
        const name = document.createElement('span');
        name.className = 'lamp-name';
        name.textContent = 'Input ' + n;
        const text = document.createElement('span');
        text.className = 'lamp-state';
        li.append(dot, name, text);
        list.appendChild(li);
      }
      $('inputs-empty').hidden = numbers.length > 0;
    }
    for (const i of inputs) showInput(i.input, i.state);
  }

  const outputsPending = new Set();  // outputs with a switch request on the way

  function syncOutputs(outputs) {
    const list = $('outputs');
    const numbers = outputs.map((o) => o.output);
    if (list.children.length !== numbers.length ||
        numbers.some((n, k) => list.children[k].dataset.output !== String(n))) {
      list.textContent = '';
      for (const n of numbers) {
        const li = document.createElement('li');
        li.dataset.output = String(n);
        const label = document.createElement('label');
        label.className = 'switch';
        const box = document.createElement('input');
        box.type = 'checkbox';
        box.id = 'output-' + n;
        box.setAttribute('role', 'switch');
        box.addEventListener('change', () => switchOutput(n, box));
        const name = document.createElement('span');
        name.textContent = 'Output ' + n;
        label.append(box, name);
        li.appendChild(label);
        list.appendChild(li);
      }
      $('outputs-empty').hidden = numbers.length > 0;
    }
    for (const o of outputs) {
      const box = $('output-' + o.output);
      if (box && !outputsPending.has(o.output)) box.checked = !!o.on;
    }
  }

  async function switchOutput(n, box) {
    const wanted = box.checked;
    outputsPending.add(n);
    box.disabled = true;
    try {
      const answer = await api('/api/outputs/' + n, { on: wanted });
      box.checked = !!answer.on;
    } catch (e) {
      box.checked = !wanted;
      showError('Output ' + n, e);
    } finally {
      outputsPending.delete(n);
      box.disabled = false;
    }
  }

  // ---- PTZ -----------------------------------------------------------------------------------

  let ptzChannel = 0;
  // Commands go out one after another, so a stop never overtakes its start on another connection.
  let ptzQueue = Promise.resolve();
  // The button held now, with what holds it ('pointer' or a key), or null.
  let held = null;

  function ptzPath(tail) {
    return '/api/ptz/' + ptzChannel + '/' + tail;
  }

  function queuePtz(path, body, what) {
    const sent = ptzQueue.then(() => api(path, body));
    ptzQueue = sent.catch(() => {});
    return sent.catch((e) => { showError(what, e); throw e; });
  }

  function speed() {
    const value = parseInt($('speed').value, 10);
    return Math.min(16, Math.max(1, isNaN(value) ? 8 : value));
  }

  function press(button, by) {
    if (held) return;
    held = { button, by };
    button.classList.add('pressed');
    const motion = button.dataset.motion;
    queuePtz(ptzPath('start'), { motion, speed: speed() }, 'Start ' + motion).catch(() => {});
  }

  // Sends the stop of the button held, once; any other release is ignored.
  function release(button, by) {
    if (!held || (button && held.button !== button) || (by && held.by !== by)) return;
    held.button.classList.remove('pressed');
    held = null;
    queuePtz(ptzPath('stop'), {}, 'Stop').catch(() => {});
  }

  function isHoldKey(event) {
    return event.key === ' ' || event.key === 'Enter';
  }

  function setUpPtz() {
    for (const button of document.querySelectorAll('#ptz-panel button.move')) {
      button.addEventListener('pointerdown', (event) => {
        if (event.button !== 0) return;
        event.preventDefault();  // no text selection, no focus change on touch
        button.focus({ preventScroll: true });
        press(button, 'pointer');
      });
      for (const type of ['pointerup', 'pointerleave', 'pointercancel']) {
        button.addEventListener(type, () => release(button, 'pointer'));
      }
      button.addEventListener('keydown', (event) => {
        if (!isHoldKey(event)) return;
        event.preventDefault();  // held keys repeat: only the first press starts
        if (!event.repeat) press(button, event.key);
      });
      button.addEventListener('keyup', (event) => {
        if (!isHoldKey(event)) return;
        event.preventDefault();
        release(button, event.key);
      });
      button.addEventListener('blur', () => release(button, null));
      button.addEventListener('contextmenu', (event) => event.preventDefault());
    }
    // Whatever happens to the window while a button is held, the head must not keep moving.
    window.addEventListener('blur', () => release(null, null));
    document.addEventListener('visibilitychange', () => {
      if (document.hidden) release(null, null);
    });
    $('ptz-stop').addEventListener('click', () => {
      if (held) release(null, null);
      else queuePtz(ptzPath('stop'), {}, 'Stop').catch(() => {});
    });
    $('speed').addEventListener('input', () => {
      $('speed-value').textContent = String(speed());
    });
    $('ptz-channel').addEventListener('change', () => {
      release(null, null);
      ptzChannel = parseInt($('ptz-channel').value, 10) || 0;
      loadPresets();
    });
    $('preset-form').addEventListener('submit', (event) => {
      event.preventDefault();
      addPreset();
    });
  }

  function applyPtzCount(count) {
    if (count === ptzChannels) return;
    ptzChannels = count;
    $('ptz-panel').hidden = count <= 0;
    const select = $('ptz-channel');
    select.textContent = '';
    for (let n = 0; n < count; n++) {
      const option = document.createElement('option');
      option.value = String(n);
      option.textContent = String(n);
      select.appendChild(option);
    }
    $('ptz-channel-row').hidden = count <= 1;
    if (ptzChannel >= count) ptzChannel = 0;
    select.value = String(ptzChannel);
    if (count > 0) loadPresets();
  }

  // ---- Presets -------------------------------------------------------------------------------

  let presetNames = [];

  function renderPresets(names) {
    presetNames = names.slice();
    const list = $('presets');
    list.textContent = '';
    names.forEach((name) => list.appendChild(presetItem(name)));
    $('presets-empty').hidden = names.length > 0;
  }

  function presetButton(text, className, action) {
    const button = document.createElement('button');
    button.type = 'button';
    button.className = className;
    button.textContent = text;
    button.addEventListener('click', action);
    return button;
  }

  function presetItem(name) {
    const li = document.createElement('li');
    li.dataset.name = name;
    const label = document.createElement('span');
    label.className = 'preset-name';
    label.textContent = name;
    const actions = document.createElement('span');
    actions.className = 'preset-actions';
    actions.append(
      presetButton('Go', 'preset-go', () => presetCommand('go', { name }, 'Go to ' + name)),
      presetButton('Rename', 'preset-rename', () => startRename(li, name)),
      presetButton('Delete', 'preset-delete', () => presetCommand('delete', { name }, 'Delete ' + name)));
    li.append(label, actions);
    return li;
  }

  // Puts an input in place of the name; Enter or Save renames, Escape or Cancel leaves it.
  function startRename(li, name) {
    const form = document.createElement('form');
    form.className = 'preset-rename-form';
    const input = document.createElement('input');
    input.type = 'text';
    input.className = 'preset-new-name';
    input.value = name;
    input.maxLength = 64;
    input.setAttribute('aria-label', 'New name of ' + name);
    const cancel = () => li.replaceWith(presetItem(name));
    form.append(input,
      presetButton('Save', 'preset-save', () => form.requestSubmit()),
      presetButton('Cancel', 'preset-cancel', cancel));
    form.addEventListener('submit', (event) => {
      event.preventDefault();
      const newName = input.value.trim();
      if (newName === '' || newName === name) {
        cancel();
        return;
      }
      presetCommand('rename', { name, new_name: newName }, 'Rename ' + name);
    });
    input.addEventListener('keydown', (event) => {
      if (event.key === 'Escape') cancel();
    });
    li.textContent = '';
    li.classList.add('renaming');
    li.appendChild(form);
    input.focus();
    input.select();
  }

  async function loadPresets() {
    try {
      const answer = await api(ptzPath('presets'));
      renderPresets(Array.isArray(answer.presets) ? answer.presets : []);
    } catch (e) {
      showError('Presets', e);
    }
  }

  // add, rename and delete answer with the new list; go answers with a status.
  async function presetCommand(verb, body, what) {
    const before = presetNames;
    try {
      const answer = await queuePtz(ptzPath('presets/' + verb), body, what);
      if (Array.isArray(answer.presets)) renderPresets(answer.presets);
      if (verb === 'go') showMessage(what + ': done', false);
      // The driver stores a preset at the position of the one last stored or recalled under
      // that one's slot, renaming it: tell the user, who meant a new one.
      const gone = verb === 'add' ? before.filter((name) => !presetNames.includes(name)) : [];
      if (gone.length > 0) {
        showMessage('"' + gone.join('", "') + '" is now "' + body.name + '": the head had not moved since. ' +
                    'Move it before adding another preset.', false);
      }
      return true;
    } catch (e) {
      return false;  // queuePtz has shown it
    }
  }

  async function addPreset() {
    const field = $('preset-name');
    const name = field.value.trim();
    if (name === '') {
      showMessage('Type a name for the preset first.', true);
      field.focus();
      return;
    }
    if (await presetCommand('add', { name }, 'Add ' + name)) field.value = '';
  }

  // ---- Log -----------------------------------------------------------------------------------

  let lastSeq = -1;
  let checkRestart = false;  // set on each new event connection
  // The log follows its newest line until the reader scrolls up, and again once back at the end.
  let logPinned = true;

  function setUpLog() {
    const list = $('log');
    list.addEventListener('scroll', () => {
      logPinned = list.scrollHeight - list.scrollTop - list.clientHeight < 24;
    });
    // Lines rewrap when the window changes width; stay at the end if the reader was there.
    new ResizeObserver(() => {
      if (logPinned) list.scrollTop = list.scrollHeight;
    }).observe(list);
  }

  function appendLog(entry) {
    if (!entry || typeof entry.seq !== 'number') return;
    const list = $('log');
    if (checkRestart) {
      checkRestart = false;
      // A reconnect replays recent entries. If the first one is not the one the page already
      // has under that number, the server started over and numbers from the beginning again.
      const known = list.querySelector('li[data-seq="' + entry.seq + '"]');
      if (entry.seq <= lastSeq && (!known || known.dataset.text !== String(entry.text))) {
        lastSeq = -1;
        const mark = document.createElement('li');
        mark.className = 'level-restart';
        mark.textContent = '— the server started again —';
        list.appendChild(mark);
      }
    }
    if (entry.seq <= lastSeq) return;
    lastSeq = entry.seq;
    const level = typeof entry.level === 'string' ? entry.level.replace(/[^a-z0-9-]/gi, '') : 'info';
    const li = document.createElement('li');
    li.className = 'level-' + (level || 'info');
    li.dataset.seq = String(entry.seq);
    li.dataset.text = String(entry.text);
    const tag = document.createElement('span');
    tag.className = 'level';
    tag.textContent = level;
    const text = document.createElement('span');
    text.className = 'text';
    text.textContent = String(entry.text);
    li.append(tag, text);
    list.appendChild(li);
    while (list.children.length > LOG_LIMIT) list.firstElementChild.remove();
    if (logPinned) list.scrollTop = list.scrollHeight;
  }

  // ---- Events --------------------------------------------------------------------------------

  let events = null;
  let wasDown = false;

  function parse(event) {
    try {
      return JSON.parse(event.data);
    } catch (e) {
      return null;
    }
  }

  function connectEvents() {
    events = new EventSource('/api/events');
    events.addEventListener('open', () => {
      setConnection('connected');
      checkRestart = lastSeq >= 0;
      if (wasDown) {
        wasDown = false;
        // Live pictures broke with the connection; presets may have changed meanwhile.
        for (const entry of tiles.values()) reopenLive(entry);
        if (ptzChannels > 0) loadPresets();
      }
    });
    events.addEventListener('error', () => {
      setConnection('disconnected');
      wasDown = true;
      // The browser retries by itself unless the answer was not an event stream at all.
      if (events.readyState === EventSource.CLOSED) {
        events = null;
        setTimeout(connectEvents, EVENTS_RETRY_MS);
      }
    });
    events.addEventListener('status', (event) => applyStatus(parse(event)));
    events.addEventListener('input', (event) => {
      const change = parse(event);
      if (change && typeof change.input === 'number') showInput(change.input, change.state);
    });
    events.addEventListener('log', (event) => appendLog(parse(event)));
  }

  // ---- Start ---------------------------------------------------------------------------------

  function start() {
    $('message-close').addEventListener('click', hideMessage);
    setUpPtz();
    setUpLog();
    connectEvents();
    // The event stream sends the status on connect too; this fills the page should it be slow.
    api('/api/status').then(applyStatus, (e) => showError('Status', e));
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})();
