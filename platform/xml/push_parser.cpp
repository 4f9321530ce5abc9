// SPDX-License-Identifier: GPL-3.0-or-later
#include "xml/push_parser.h"

#include <mutex>

namespace xml {

void PushParserFree::operator()(xmlParserCtxt* context) const {
    // Without a handler of its own for them, libxml2 keeps a document type's declarations in a
    // document of its own making, which the context does not free.
    xmlFreeDoc(context->myDoc);
    context->myDoc = nullptr;
    if (context->html) {
        htmlFreeParserCtxt(context);
    } else {
        xmlFreeParserCtxt(context);
    }
}

xmlSAXHandler saxHandler() {
    static std::once_flag once;
    std::call_once(once, xmlInitParser);
    xmlSAXHandler sax{};
    sax.initialized = XML_SAX2_MAGIC;
    return sax;
}

PushParser openXmlParser(xmlSAXHandler& sax, void* user, int options) {
    PushParser context(xmlCreatePushParserCtxt(&sax, user, nullptr, 0, nullptr));
    if (context) xmlCtxtUseOptions(context.get(), options | XML_PARSE_NONET);
    return context;
}

PushParser openHtmlParser(htmlSAXHandler& sax, void* user, int options) {
    PushParser context(htmlCreatePushParserCtxt(&sax, user, nullptr, 0, nullptr, XML_CHAR_ENCODING_UTF8));
    if (context) htmlCtxtUseOptions(context.get(), options | HTML_PARSE_NONET);
    return context;
}

}  // namespace xml
