// Hands the terminal what arrives, in order, and never more than `limit` bytes that it has
// not yet drawn. xterm.js throws writes away while more than 50 MB wait, and a long
// catch-up arrives far faster than it can be drawn: the rest waits here instead.
// Changes to the terminal itself (a size, a reset) are made once the bytes before them
// are drawn.
(function () {
  "use strict";

  function createTerminalFeed(term, limit) {
    let waiting = [];
    let head = 0;
    let handed = 0;

    function feed() {
      while (head < waiting.length && handed < limit) {
        const item = waiting[head];
        if (typeof item === "function") {
          if (handed > 0) break;  // the bytes before it are not drawn yet
          waiting[head++] = undefined;
          item();
          continue;
        }
        waiting[head++] = undefined;
        handed += item.length;
        term.write(item, () => {
          handed -= item.length;
          feed();
        });
      }
      // What was handed on leaves the front of the queue now and then, not one by one.
      if (head > 1024 && head * 2 > waiting.length) {
        waiting = waiting.slice(head);
        head = 0;
      }
    }

    return {
      // Bytes for the terminal.
      write(bytes) {
        waiting.push(bytes);
        feed();
      },
      // A change to the terminal, made in its place among the bytes.
      change(apply) {
        waiting.push(apply);
        feed();
      },
      // Forgets what has not been handed to the terminal yet.
      drop() {
        waiting = [];
        head = 0;
      },
    };
  }

  window.ombrixTerminalFeed = createTerminalFeed;
})();
