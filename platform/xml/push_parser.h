// SPDX-License-Identifier: GPL-3.0-or-later
// libxml2's push parsers set up one way for every reader of untrusted markup (the documents' HTML and
// XML, the user's pronunciation lexicons): the library initialised once for the process, a SAX2
// handler the caller fills in, the network never used, and the context freed with whatever document
// libxml2 made for a document type's declarations.
#pragma once

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>

#include <memory>

namespace xml {

struct PushParserFree {
    void operator()(xmlParserCtxt* context) const;
};
using PushParser = std::unique_ptr<xmlParserCtxt, PushParserFree>;

// A SAX2 handler with no callback set yet.
xmlSAXHandler saxHandler();

// A push parser for XML or for HTML calling `sax` with `user`; XML_PARSE_NONET (HTML_PARSE_NONET) is
// always added to `options`. Null when there is no memory for it.
PushParser openXmlParser(xmlSAXHandler& sax, void* user, int options);
PushParser openHtmlParser(htmlSAXHandler& sax, void* user, int options);

}  // namespace xml
