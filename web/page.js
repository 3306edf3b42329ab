// Plays the stream of /ws in a terminal. Binary messages are the recording's bytes;
// text messages are small JSON objects with the terminal size ({"cols":80,"rows":24}),
// the playback speed ({"speed":4}) and the recording's name ({"name":"a.ttyrec (2/5)"}),
// whether this page may steer ({"control":false}, in the first) and how many watch
// ({"viewers":3}). Everything the viewer types, and the buttons, goes back as keys, unless
// the page may not steer. Its texts come from texts.js; the terminal is fed through
// feed.js.
(function () {
  "use strict";

  const kFontSize = 15;
  const kMinFontSize = 5;
  const kRetryDelays = [1, 2, 4, 8];
  // The close code of a newcomer turned away because the viewers are at their cap.
  const kTurnedAway = 4001;
  // What the terminal may be handed before it has drawn it.
  const kHandedLimit = 1 << 20;
  const T = window.ombrixTexts;

  const stateView = document.getElementById("state");
  const speedView = document.getElementById("speed");
  const nameView = document.getElementById("name");
  const notice = document.getElementById("notice");
  const container = document.getElementById("terminal");
  const modeView = document.getElementById("mode");
  const viewersView = document.getElementById("viewers");
  const controls = document.getElementById("controls");
  const hint = document.getElementById("hint");

  const term = new Terminal({
    cols: 80,
    rows: 24,
    fontSize: kFontSize,
    fontFamily: 'ui-monospace, "DejaVu Sans Mono", "Liberation Mono", Menlo, monospace',
    scrollback: 1000,
    cursorBlink: false,
    allowProposedApi: false,
  });
  term.open(container);
  const feed = window.ombrixTerminalFeed(term, kHandedLimit);

  let socket = null;
  let failures = 0;
  let retryTimer = 0;
  // Until the server says otherwise; it says so before anything else.
  let mayControl = true;

  // The terminal keeps the recording's columns; on a narrow screen the font shrinks
  // instead, so lines never wrap differently from what was recorded.
  function fitFont() {
    const screen = container.querySelector(".xterm-screen");
    if (!screen) return;
    const available = container.parentElement.clientWidth - 12;
    const width = screen.getBoundingClientRect().width;
    if (width <= 0) return;
    const current = term.options.fontSize;
    const wanted = Math.min(kFontSize,
      Math.max(kMinFontSize, Math.floor(current * available / width * 10) / 10));
    if (Math.abs(wanted - current) >= 0.1) term.options.fontSize = wanted;
  }

  function showState(name, text) {
    stateView.className = "state " + name;
    stateView.textContent = text;
  }

  function showNotice(text) {
    notice.textContent = text;
    notice.hidden = !text;
  }

  function sendKeys(keys) {
    if (mayControl && socket && socket.readyState === WebSocket.OPEN) socket.send(keys);
  }

  // A page that may not steer shows no buttons and no hint about keys, and says so.
  function setControl(allowed) {
    mayControl = allowed;
    controls.hidden = !allowed;
    hint.hidden = !allowed;
    modeView.hidden = allowed;
  }

  function handleControl(text) {
    let message;
    try {
      message = JSON.parse(text);
    } catch (e) {
      return;
    }
    if (Number.isInteger(message.cols) && Number.isInteger(message.rows) &&
        message.cols > 0 && message.rows > 0) {
      feed.change(() => {
        term.resize(message.cols, message.rows);
        fitFont();
      });
    }
    if (Number.isInteger(message.speed)) speedView.textContent = "×" + message.speed;
    if (typeof message.control === "boolean") setControl(message.control);
    if (Number.isInteger(message.viewers) && message.viewers >= 0) {
      viewersView.textContent = T.viewers(message.viewers);
    }
    if (typeof message.name === "string") {
      nameView.textContent = message.name;
      nameView.title = message.name;
    }
  }

  function scheduleReconnect(waiting) {
    const delay = kRetryDelays[Math.min(failures, kRetryDelays.length - 1)];
    failures += 1;
    let left = delay;
    const tell = () => showNotice(waiting(left));
    tell();
    clearInterval(retryTimer);
    retryTimer = setInterval(() => {
      left -= 1;
      if (left > 0) {
        tell();
      } else {
        clearInterval(retryTimer);
        showNotice(T.reconnecting);
        connect();
      }
    }, 1000);
  }

  function connect() {
    const scheme = location.protocol === "https:" ? "wss:" : "ws:";
    const ws = new WebSocket(scheme + "//" + location.host + "/ws");
    ws.binaryType = "arraybuffer";
    socket = ws;
    showState("connecting", T.connecting);
    ws.onopen = () => {
      failures = 0;
      // The server starts every connection with everything played so far.
      feed.drop();
      feed.change(() => term.reset());
      showState("connected", T.connected);
      showNotice("");
    };
    ws.onmessage = (event) => {
      if (typeof event.data === "string") {
        handleControl(event.data);
      } else {
        feed.write(new Uint8Array(event.data));
      }
    };
    ws.onclose = (event) => {
      if (socket !== ws) return;
      socket = null;
      showState("disconnected", T.disconnected);
      scheduleReconnect(event.code === kTurnedAway ? T.fullIn : T.reconnectingIn);
    };
  }

  term.onData((data) => sendKeys(data));
  term.onBinary((data) => {
    const bytes = new Uint8Array(data.length);
    for (let i = 0; i < data.length; ++i) bytes[i] = data.charCodeAt(i) & 0xff;
    sendKeys(bytes);
  });
  for (const button of document.querySelectorAll("button[data-key]")) {
    button.addEventListener("click", () => sendKeys(button.dataset.key));
  }
  window.addEventListener("resize", fitFont);
  fitFont();
  connect();
})();
