// SPDX-License-Identifier: GPL-3.0-or-later
// The talking books' documents read back with libxml2, for the tests that check them.
#pragma once

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace say_test {

using XmlDocument = std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)>;

constexpr int kXmlOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// The file as XML (no DTD fetched); one that is not well-formed fails the test.
inline XmlDocument parse(const std::filesystem::path& path) {
    XmlDocument doc(xmlReadFile(path.c_str(), nullptr, kXmlOptions), xmlFreeDoc);
    EXPECT_TRUE(doc) << path << " is not well-formed";
    return doc;
}

// The same for bytes; `name` stands for them in the failure.
inline XmlDocument parseBytes(const std::string& bytes, const std::string& name) {
    XmlDocument doc(xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), name.c_str(), nullptr, kXmlOptions),
                    xmlFreeDoc);
    EXPECT_TRUE(doc) << name << " is not well-formed";
    return doc;
}

inline void eachElement(xmlNode* node, const std::function<void(xmlNode*)>& f) {
    for (; node != nullptr; node = node->next) {
        if (node->type == XML_ELEMENT_NODE) f(node);
        eachElement(node->children, f);
    }
}

inline std::string attribute(xmlNode* e, const char* name) {
    xmlChar* value = xmlGetProp(e, BAD_CAST name);
    std::string s = value ? reinterpret_cast<const char*>(value) : "";
    xmlFree(value);
    return s;
}

inline std::string textOf(xmlNode* e) {
    xmlChar* value = xmlNodeGetContent(e);
    std::string s = value ? reinterpret_cast<const char*>(value) : "";
    xmlFree(value);
    return s;
}

inline std::string nameOf(xmlNode* e) {
    return reinterpret_cast<const char*>(e->name);
}

}  // namespace say_test
