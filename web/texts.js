// Every text the page shows, in each language it speaks: Japanese when the browser
// prefers it to English, English otherwise. Loaded before page.js, which takes its texts
// from window.ombrixTexts; the page's fixed texts are filled in here, from the elements'
// data-text (content), data-html (content with markup) and data-title (tooltip) names.
(function () {
  "use strict";

  const kTexts = {
    en: {
      connecting: "connecting…",
      connected: "connected",
      disconnected: "disconnected",
      speed: "speed",
      slower: "Slower",
      slowerTitle: "Half as fast (key s or -)",
      normal: "Normal",
      normalTitle: "Normal speed (key 1)",
      faster: "Faster",
      fasterTitle: "Twice as fast (key f or +)",
      next: "Next frame",
      nextTitle: "The next frame now (any other key)",
      controlsLabel: "Playback",
      hint: "Keys typed in the terminal steer the playback for every viewer: " +
        "<kbd>f</kbd> faster, <kbd>s</kbd> slower, <kbd>1</kbd> normal, any other key the next frame.",
      watchingOnly: "watching only",
      watchingOnlyTitle: "The playback is steered from elsewhere; this page only watches.",
      viewers: (count) => count === 1 ? "1 watching" : count + " watching",
      reconnectingIn: (seconds) => "Connection lost. Reconnecting in " + seconds + " s…",
      reconnecting: "Connection lost. Reconnecting…",
      fullIn: (seconds) => "As many are watching as this server takes. Trying again in " +
        seconds + " s…",
    },
    ja: {
      connecting: "接続中…",
      connected: "接続済み",
      disconnected: "切断",
      speed: "速度",
      slower: "遅く",
      slowerTitle: "半分の速さ (キー s または -)",
      normal: "通常",
      normalTitle: "通常の速さ (キー 1)",
      faster: "速く",
      fasterTitle: "2 倍の速さ (キー f または +)",
      next: "次のフレーム",
      nextTitle: "次のフレームをすぐに (その他のキー)",
      controlsLabel: "再生",
      hint: "端末で打ったキーは全員の再生を操作します: " +
        "<kbd>f</kbd> 速く、<kbd>s</kbd> 遅く、<kbd>1</kbd> 通常、その他のキーで次のフレーム。",
      watchingOnly: "視聴のみ",
      watchingOnlyTitle: "再生は別の場所で操作されています。このページは視聴のみです。",
      viewers: (count) => count + " 人が視聴中",
      reconnectingIn: (seconds) => "接続が切れました。" + seconds + " 秒後に再接続します…",
      reconnecting: "接続が切れました。再接続しています…",
      fullIn: (seconds) => "このサーバーの視聴者数が上限に達しています。" + seconds +
        " 秒後にもう一度試します…",
    },
  };

  // The first of the browser's languages that the page has; English when none is.
  function chooseLanguage(preferred) {
    for (const tag of preferred || []) {
      const primary = String(tag).toLowerCase().split("-")[0];
      if (Object.prototype.hasOwnProperty.call(kTexts, primary)) return primary;
    }
    return "en";
  }

  const language = chooseLanguage(navigator.languages && navigator.languages.length
    ? navigator.languages : [navigator.language]);
  const texts = kTexts[language];
  document.documentElement.lang = language;
  for (const element of document.querySelectorAll("[data-text]")) {
    element.textContent = texts[element.dataset.text];
  }
  // Markup from the table above only, never from the stream.
  for (const element of document.querySelectorAll("[data-html]")) {
    element.innerHTML = texts[element.dataset.html];
  }
  for (const element of document.querySelectorAll("[data-title]")) {
    element.title = texts[element.dataset.title];
  }
  for (const element of document.querySelectorAll("[data-label]")) {
    element.setAttribute("aria-label", texts[element.dataset.label]);
  }
  window.ombrixTexts = texts;
})();
