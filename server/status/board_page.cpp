#include "server/status/board_page.h"

namespace korrin {

namespace {

const char kHtml[] = R"HTML(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Korrin Server lines</title>
<link rel="stylesheet" href="/board.css">
<script src="/board.js" defer></script>
</head>
<body>
<header>
<h1>Lines</h1>
<span id="state" class="down">connecting</span>
<span id="lost" hidden></span>
</header>
<main>
<p id="newest" class="none">No line yet.</p>
<ol id="recent" aria-label="Earlier lines, newest first"></ol>
</main>
<noscript><p>This page needs JavaScript to show the lines.</p></noscript>
</body>
</html>
)HTML";

// Line data only ever goes in through textContent.
const char kScript[] = R"JS('use strict';
(function () {
  var EARLIER = 10;                    // lines kept below the newest
  var FIRST_DELAY = 2000, MAX_DELAY = 30000;
  var newest = document.getElementById('newest');
  var recent = document.getElementById('recent');
  var state = document.getElementById('state');
  var lost = document.getElementById('lost');
  var lastId = '';                     // of the last line shown: where a new stream resumes
  var lostLines = 0, lostUnknown = false;
  var delay = FIRST_DELAY;

  function setState(text) {
    state.textContent = text;
    state.className = text === 'live' ? 'live' : 'down';
  }

  function show(text) {
    if (newest.className === 'none') {
      newest.className = '';
    } else {
      var li = document.createElement('li');
      li.textContent = newest.textContent;
      recent.insertBefore(li, recent.firstChild);
      while (recent.children.length > EARLIER) recent.removeChild(recent.lastChild);
    }
    newest.textContent = text;
  }

  function countLost(data) {
    var n = /^[0-9]+$/.test(data) ? Number(data) : NaN;
    if (isNaN(n)) lostUnknown = true; else lostLines += n;
    lost.textContent = 'lines lost: ' + (lostUnknown ? 'unknown' : lostLines);
    lost.hidden = false;
  }

  function open() {
    // The first stream fills the list; a later one goes on after the last line shown. The
    // browser's own reconnects send Last-Event-ID instead.
    var source = new EventSource(lastId === '' ? '/events?replay=' + (EARLIER + 1)
                                               : '/events?last=' + encodeURIComponent(lastId));
    source.onopen = function () {
      setState('live');
      delay = FIRST_DELAY;
    };
    source.onmessage = function (e) {
      if (e.lastEventId !== '') lastId = e.lastEventId;
      show(e.data);
    };
    source.addEventListener('lost', function (e) { countLost(e.data); });
    source.onerror = function () {
      setState('reconnecting');
      // An answer that was no stream (a 503, or an error page while the relay restarts)
      // closes it for good; then this page opens a new one, later and later.
      if (source.readyState !== EventSource.CLOSED) return;
      setTimeout(open, delay);
      delay = Math.min(delay * 2, MAX_DELAY);
    };
  }

  open();
})();
)JS";

const char kStyle[] = R"CSS(html{background:#fafafa;color:#222}
body{font:16px/1.4 system-ui,sans-serif;margin:0 auto;max-width:60em;padding:.5em 1em}
header{display:flex;flex-wrap:wrap;align-items:baseline;gap:.3em .8em}
h1{font-size:1.2em;margin:.3em 0}
#state,#lost{padding:.05em .5em;border-radius:.3em;font-size:.9em}
#state.live{background:#dfd;color:#050}
#state.down{background:#fed;color:#730}
#lost{background:#fdd;color:#900}
[hidden]{display:none}
#newest,#recent li{white-space:pre-wrap;overflow-wrap:anywhere}
#newest{font-size:clamp(1.4em,5vw,2.4em);font-weight:600;margin:.4em 0 .6em}
#newest.none{color:#888;font-weight:400}
#recent{list-style:none;margin:0;padding:0}
#recent li{padding:.25em 0;border-top:1px solid #ddd}
@media (prefers-color-scheme:dark){
html{background:#181818;color:#ddd}
#recent li{border-color:#333}
#state.live{background:#143;color:#9e9}
#state.down{background:#431;color:#fc8}
#lost{background:#411;color:#f99}
}
)CSS";

}  // namespace

const std::string& boardHtml() {
    static const std::string text = kHtml;
    return text;
}

const std::string& boardScript() {
    static const std::string text = kScript;
    return text;
}

const std::string& boardStyle() {
    static const std::string text = kStyle;
    return text;
}

const std::string& boardPolicy() {
    static const std::string text = "default-src 'self'";
    return text;
}

}  // namespace korrin
