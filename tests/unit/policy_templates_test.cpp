// The group policy templates (policy/orvane.admx, policy/en-US/orvane.adml): well-formed XML,
// every text and presentation the template names is in the language file, and its policies
// write exactly the registry values the program reads.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "install/program_trust.h"
#include "klv_build_config.h"

namespace {

struct Element {
    std::string name;
    std::map<std::string, std::string> attributes;
    std::vector<Element> children;
};

// Well-formedness of the XML these files use (no DOCTYPE, CDATA or instructions past the
// declaration): one root, matching tags, quoted unique attributes, known entities, no stray '<'.
struct XmlReader {
    std::string s;
    std::size_t at = 0;

    bool Starts(const char* text) const { return s.compare(at, std::strlen(text), text) == 0; }
    bool Skip(const char* text) { return Starts(text) && (at += std::strlen(text)); }
    void Space() {
        while (at < s.size() && std::strchr(" \t\r\n", s[at]))
            ++at;
    }
    bool Comments() { // and blanks; a comment has no "--" inside
        for (Space(); Skip("<!--"); Space()) {
            at = s.find("--", at);
            if (at == std::string::npos || !Skip("-->"))
                return false;
        }
        return true;
    }
    bool Name(std::string* name) {
        const std::size_t start = at;
        while (at < s.size() && (std::isalnum(static_cast<unsigned char>(s[at])) ||
                                 std::strchr("_:-.", s[at]) || (s[at] & 0x80)))
            ++at;
        *name = s.substr(start, at - start);
        return at > start && !std::strchr("-.0123456789", (*name)[0]);
    }
    bool Entity() const { // at '&': "&name;" of a known entity or a character number
        const std::size_t end = s.find(';', at);
        const std::string name = s.substr(at + 1, end == std::string::npos ? 0 : end - at - 1);
        const std::size_t digits = name.rfind("#x", 0) == 0 ? 2 : name.rfind('#', 0) == 0;
        return std::set<std::string>{"amp", "lt", "gt", "quot", "apos"}.count(name) ||
               (digits && name.size() > digits &&
                name.find_first_not_of(digits == 2 ? "0123456789abcdefABCDEF" : "0123456789",
                                       digits) == std::string::npos);
    }
    bool Text(char stop) { // up to stop
        for (; at < s.size() && s[at] != stop; ++at) {
            const unsigned char c = static_cast<unsigned char>(s[at]);
            if (c == '<' || (c < 0x20 && !std::strchr("\t\r\n", c)) || (c == '&' && !Entity()))
                return false;
        }
        return at < s.size();
    }
    bool ReadElement(Element* e) {
        if (!Skip("<") || !Name(&e->name))
            return false;
        for (std::size_t before = at; Space(), !Starts("/>") && !Starts(">"); before = at) {
            std::string name;
            if (at == before || !Name(&name) || (Space(), !Skip("=")))
                return false;
            Space();
            const char quote = at < s.size() ? s[at++] : 0;
            const std::size_t start = at;
            if ((quote != '"' && quote != '\'') || !Text(quote) || e->attributes.count(name))
                return false;
            e->attributes[name] = s.substr(start, at++ - start);
        }
        if (Skip("/>"))
            return true;
        for (++at; Text('<');) {
            std::string closing;
            if (Skip("</"))
                return Name(&closing) && closing == e->name && (Space(), Skip(">"));
            if (Starts("<!--") ? !Comments()
                               : (e->children.emplace_back(), !ReadElement(&e->children.back())))
                return false;
        }
        return false;
    }
    bool Parse(Element* root) {
        if (Skip("<?xml") && (at = s.find("?>", at)) == std::string::npos)
            return false;
        at = std::min(at + (Starts("?>") ? 2 : 0), s.size());
        return Comments() && ReadElement(root) && Comments() && at == s.size();
    }
};

bool Parses(const std::string& text, Element* root) {
    return XmlReader{text}.Parse(root);
}

Element Load(const std::string& relative) {
    std::ifstream in(std::string(KLV_SOURCE_DIR) + "/" + relative, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    Element root;
    EXPECT_TRUE(in.good() && Parses(text.str(), &root)) << relative << " is not well-formed";
    return root;
}

// Every element named name (every element when name is empty), depth first.
std::vector<const Element*> All(const Element& root, const std::string& name = "") {
    std::vector<const Element*> found;
    std::function<void(const Element&)> walk = [&](const Element& e) {
        if (name.empty() || e.name == name)
            found.push_back(&e);
        for (const Element& child : e.children)
            walk(child);
    };
    walk(root);
    return found;
}

TEST(PolicyTemplates, TheReaderRefusesMalformedXml) {
    for (const char* row : {"<a><b></a></b>", "<a>", "<a x='1' x='2'/>", "<a x=1/>", "<a x='<'/>",
                            "<a>&nbsp;</a>", "<a>R&D</a>", "<a/><b/>", "<a><!-- -- --></a>",
                            "<1a/>", "<a>\x01</a>", "<a x='1'y='2'/>"}) {
        Element root;
        EXPECT_FALSE(Parses(row, &root)) << row;
    }
    Element root;
    EXPECT_TRUE(
        Parses("<?xml version='1.0'?><!-- c --><a:b x=\"&lt;&#38;&#x41;\"><c/>t</a:b>\n", &root));
}

TEST(PolicyTemplates, EveryNameTheTemplateUsesIsDefined) {
    const Element admx = Load("policy/orvane.admx"), adml = Load("policy/en-US/orvane.adml");
    std::map<std::string, std::set<std::string>> defined; // kind -> names
    std::map<std::string, std::set<std::string>> boxes;   // presentation -> the elements it shows
    for (const Element* s : All(adml, "string"))
        defined["string"].insert(s->attributes.at("id"));
    for (const Element* p : All(adml, "presentation")) {
        defined["presentation"].insert(p->attributes.at("id"));
        for (const Element& box : p->children)
            boxes["$(presentation." + p->attributes.at("id") + ")"].insert(
                box.attributes.at("refId"));
    }
    for (const Element* c : All(admx, "category"))
        defined["parentCategory"].insert(c->attributes.at("name"));
    for (const Element* d : All(admx, "definition"))
        defined["supportedOn"].insert(d->attributes.at("name"));
    int references = 0;
    for (const Element* e : All(admx)) {
        for (const auto& attribute : e->attributes) // "$(string.name)", "$(presentation.name)"
            for (std::size_t at = 0; (at = attribute.second.find("$(", at)) != std::string::npos;
                 ++references) {
                const std::size_t dot = attribute.second.find('.', at),
                                  end = attribute.second.find(')', at);
                const std::string kind = attribute.second.substr(at + 2, dot - at - 2);
                EXPECT_TRUE(dot < end && end != std::string::npos &&
                            defined[kind].count(attribute.second.substr(dot + 1, end - dot - 1)))
                    << attribute.second << " is not in the ADML";
                at = end;
            }
        const auto ref = e->attributes.find("ref"); // a category's parent, a policy's platforms
        EXPECT_TRUE(ref == e->attributes.end() || defined[e->name].count(ref->second)) << e->name;
    }
    EXPECT_GE(references, 8);
    for (const Element* policy : All(admx, "policy")) { // its boxes are its elements, one for one
        std::set<std::string> elements;
        for (const Element* list : All(*policy, "elements"))
            for (const Element& element : list->children)
                elements.insert(element.attributes.at("id"));
        EXPECT_EQ(elements, boxes[policy->attributes.at("presentation")]);
    }
}

TEST(PolicyTemplates, PoliciesAreTheValuesTheProgramReads) {
    const Element admx = Load("policy/orvane.admx");
    std::set<std::pair<std::string, std::string>> written;
    for (const Element* policy : All(admx, "policy")) {
        EXPECT_EQ(policy->attributes.at("class"), "Machine"); // HKEY_LOCAL_MACHINE
        EXPECT_EQ(policy->attributes.count("valueName"), 0u); // nothing but its list
        ASSERT_EQ(All(*policy, "elements").size(), 1u);
        for (const Element& element : All(*policy, "elements")[0]->children) {
            EXPECT_EQ(element.name, "multiText"); // REG_MULTI_SZ
            auto key = element.attributes.find("key");
            written.insert(
                {key != element.attributes.end() ? key->second : policy->attributes.at("key"),
                 element.attributes.at("valueName")});
        }
    }
    const std::set<std::pair<std::string, std::string>> read = {
        {kTrustPolicyKey, kTrustPolicyValue}, {kTrustPolicyKey, kDestinationPolicyValue}};
    EXPECT_EQ(written, read);
}

} // namespace
