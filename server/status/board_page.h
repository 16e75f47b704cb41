// The board: a page that shows the relay's paced lines as they go out, from the status port's
// /events stream. Constant texts; the page loads its script and style from the same server, so
// its policy needs to allow nothing inline and nothing from elsewhere.
#pragma once

#include <string>

namespace korrin {

const std::string& boardHtml();    // /board, text/html
const std::string& boardScript();  // /board.js, text/javascript
const std::string& boardStyle();   // /board.css, text/css
// The Content-Security-Policy to serve /board with.
const std::string& boardPolicy();

}  // namespace korrin
