// The group policy templates (policy/orvane.admx, policy/en-US/orvane.adml): well-formed XML,
// every text and presentation the template names is in the language file, and its policies
// write exactly the registry values the program reads.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
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

// A well-formedness check of the XML these files use (no document type declaration): one root,
// matching tags, quoted and unique attributes, known entity references, no stray '<' or '&'.
class XmlReader {
  public:
    explicit XmlReader(std::string text) : s_(std::move(text)) {}

    bool Parse(Element* root) {
        if (s_.compare(0, 5, "<?xml") == 0 && !SkipPast("?>"))
            return false;
        if (!Misc() || !At('<') || !ReadElement(root) || !Misc())
            return false;
        return at_ == s_.size();
    }

  private:
    bool At(char c) const { return at_ < s_.size() && s_[at_] == c; }
    bool Starts(const char* text) const { return s_.compare(at_, std::strlen(text), text) == 0; }
    bool SkipPast(const char* end) {
        std::size_t found = s_.find(end, at_);
        at_ = found == std::string::npos ? s_.size() : found + std::strlen(end);
        return found != std::string::npos;
    }
    void Space() {
        while (at_ < s_.size() && std::strchr(" \t\r\n", s_[at_]))
            ++at_;
    }
    bool Comment() { // at "<!--"
        std::size_t end = s_.find("--", at_ + 4);
        if (end == std::string::npos || s_.compare(end, 3, "-->") != 0)
            return false;
        at_ = end + 3;
        return true;
    }
    bool Misc() { // blanks, comments and processing instructions outside the root
        for (Space(); Starts("<!--") || Starts("<?"); Space())
            if (Starts("<?") ? !SkipPast("?>") : !Comment())
                return false;
        return true;
    }
    bool Name(std::string* name) {
        std::size_t start = at_;
        while (at_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[at_])) ||
                                   std::strchr("_:-.", s_[at_]) || (s_[at_] & 0x80)))
            ++at_;
        *name = s_.substr(start, at_ - start);
        return at_ > start && !std::isdigit(static_cast<unsigned char>((*name)[0])) &&
               (*name)[0] != '-' && (*name)[0] != '.';
    }
    bool CharData(char stop) { // up to stop: entity references known, no '<', no control byte
        static const std::regex reference("&(amp|lt|gt|quot|apos|#[0-9]+|#x[0-9a-fA-F]+);");
        for (; at_ < s_.size() && s_[at_] != stop; ++at_) {
            const unsigned char c = static_cast<unsigned char>(s_[at_]);
            if (c == '<' || (c < 0x20 && c != '\t' && c != '\r' && c != '\n'))
                return false;
            std::smatch m;
            if (c == '&' && !std::regex_search(s_.cbegin() + at_, s_.cend(), m, reference,
                                               std::regex_constants::match_continuous))
                return false;
        }
        return at_ < s_.size();
    }
    bool ReadElement(Element* e) { // at '<'
        ++at_;
        if (!Name(&e->name))
            return false;
        for (;;) {
            const std::size_t before = at_;
            Space();
            if (Starts("/>") || At('>'))
                break;
            std::string attribute;
            if (at_ == before || !Name(&attribute))
                return false;
            Space();
            if (!At('='))
                return false;
            ++at_;
            Space();
            if (!At('"') && !At('\''))
                return false;
            const char quote = s_[at_++];
            const std::size_t start = at_;
            if (!CharData(quote) || e->attributes.count(attribute))
                return false;
            e->attributes[attribute] = s_.substr(start, at_++ - start);
        }
        if (Starts("/>")) {
            at_ += 2;
            return true;
        }
        for (++at_;;) {
            if (!CharData('<'))
                return false;
            if (Starts("</")) {
                at_ += 2;
                std::string closing;
                if (!Name(&closing) || closing != e->name)
                    return false;
                Space();
                return At('>') && ++at_;
            }
            if (Starts("<!--")        ? !Comment()
                : Starts("<![CDATA[") ? !SkipPast("]]>")
                : Starts("<?")        ? !SkipPast("?>")
                               : (e->children.emplace_back(), !ReadElement(&e->children.back())))
                return false;
        }
    }

    std::string s_;
    std::size_t at_ = 0;
};

Element Load(const std::string& relative) {
    std::ifstream in(std::string(KLV_SOURCE_DIR) + "/" + relative, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    Element root;
    EXPECT_TRUE(in.good() && XmlReader(text.str()).Parse(&root))
        << relative << " is not well-formed";
    return root;
}

void Walk(const Element& e, const std::function<void(const Element&)>& visit) {
    visit(e);
    for (const Element& child : e.children)
        Walk(child, visit);
}
std::vector<const Element*> All(const Element& root, const std::string& name) {
    std::vector<const Element*> found;
    Walk(root, [&](const Element& e) {
        if (e.name == name)
            found.push_back(&e);
    });
    return found;
}

TEST(PolicyTemplates, TheReaderRefusesMalformedXml) {
    const char* rows[] = {
        "<a><b></a></b>",     "<a>",           "<a x='1' x='2'/>", "<a x=1/>",
        "<a x='<'/>",         "<a>&nbsp;</a>", "<a>R&D</a>",       "<a/><b/>",
        "<a><!-- -- --></a>", "<1a/>",         "<a>\x01</a>",
    };
    for (const char* row : rows) {
        Element root;
        EXPECT_FALSE(XmlReader(row).Parse(&root)) << row;
    }
    Element root;
    EXPECT_TRUE(XmlReader("<?xml version='1.0'?><!-- c --><a:b x=\"&lt;&#38;&#x41;\"><c/>t"
                          "<![CDATA[<]]></a:b>\n")
                    .Parse(&root));
}

TEST(PolicyTemplates, EveryNameTheTemplateUsesIsDefined) {
    const Element admx = Load("policy/orvane.admx"), adml = Load("policy/en-US/orvane.adml");
    std::map<std::string, std::set<std::string>> defined; // kind -> ids
    for (const Element* s : All(adml, "string"))
        defined["string"].insert(s->attributes.at("id"));
    for (const Element* p : All(adml, "presentation"))
        defined["presentation"].insert(p->attributes.at("id"));
    for (const Element* c : All(admx, "category"))
        defined["category"].insert(c->attributes.at("name"));
    for (const Element* d : All(admx, "definition"))
        defined["supportedOn"].insert(d->attributes.at("name"));
    const std::regex reference("\\$\\((string|presentation)\\.([^)]*)\\)");
    int references = 0;
    Walk(admx, [&](const Element& e) {
        for (const auto& attribute : e.attributes)
            for (std::sregex_iterator m(attribute.second.begin(), attribute.second.end(),
                                        reference);
                 m != std::sregex_iterator(); ++m, ++references)
                EXPECT_TRUE(defined[(*m)[1]].count((*m)[2])) << (*m)[0] << " is not in the ADML";
        auto ref = e.attributes.find("ref"); // a category's parent, a policy's platforms
        if (ref != e.attributes.end()) {
            EXPECT_TRUE(
                defined[e.name == "parentCategory" ? "category" : e.name].count(ref->second))
                << e.name << " " << ref->second;
        }
    });
    EXPECT_GE(references, 8);
    // Each policy's boxes are its own elements, one for one.
    for (const Element* policy : All(admx, "policy")) {
        std::set<std::string> elements, boxes;
        for (const Element& child : policy->children)
            for (const Element& element :
                 child.name == "elements" ? child.children : std::vector<Element>{})
                elements.insert(element.attributes.at("id"));
        const std::string id = policy->attributes.at("presentation");
        for (const Element* p : All(adml, "presentation"))
            if ("$(presentation." + p->attributes.at("id") + ")" == id)
                for (const Element& box : p->children)
                    boxes.insert(box.attributes.at("refId"));
        EXPECT_EQ(elements, boxes) << policy->attributes.at("name");
    }
}

TEST(PolicyTemplates, PoliciesAreTheValuesTheProgramReads) {
    const Element admx = Load("policy/orvane.admx");
    std::set<std::pair<std::string, std::string>> written;
    for (const Element* policy : All(admx, "policy")) {
        EXPECT_EQ(policy->attributes.at("class"), "Machine");      // HKEY_LOCAL_MACHINE
        for (const Element* element : All(*policy, "multiText")) { // REG_MULTI_SZ
            auto key = element->attributes.find("key");
            written.insert(
                {key != element->attributes.end() ? key->second : policy->attributes.at("key"),
                 element->attributes.at("valueName")});
        }
        EXPECT_EQ(policy->attributes.count("valueName"), 0u) << "a policy of its own value";
        EXPECT_EQ(All(*policy, "elements").at(0)->children.size(), 1u);
    }
    const std::set<std::pair<std::string, std::string>> read = {
        {kTrustPolicyKey, kTrustPolicyValue}, {kTrustPolicyKey, kDestinationPolicyValue}};
    EXPECT_EQ(written, read);
}

} // namespace
