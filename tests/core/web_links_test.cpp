// Web addresses in chat text: which become links, and that nothing else a member writes is ever
// read as markup.
#include "core/text/web_links.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumo {
namespace {

// The addresses found in `text`, as strings.
std::vector<std::string> addresses(const std::string& text)
{
    std::vector<std::string> out;
    for (const WebLink& link : findWebLinks(text)) out.push_back(text.substr(link.begin, link.end - link.begin));
    return out;
}

TEST(WebLinks, WhichAddressesAreFound)
{
    struct Case {
        const char* text;
        std::vector<std::string> found;
    };
    const Case cases[] = {
        {"see https://example.org/a?b=1&c=2#top now", {"https://example.org/a?b=1&c=2#top"}},
        {"HTTP://Example.ORG", {"HTTP://Example.ORG"}},
        {"two: http://a.example http://b.example/x", {"http://a.example", "http://b.example/x"}},
        // Sentence punctuation after an address is the sentence's.
        {"go to http://a.example/x.", {"http://a.example/x"}},
        {"really http://a.example/?!", {"http://a.example/"}},
        {"(http://a.example/x), then", {"http://a.example/x"}},
        {"'http://a.example/x'", {"http://a.example/x"}},
        // A bracket the address opened is its own.
        {"http://en.example/wiki/Foo_(bar)", {"http://en.example/wiki/Foo_(bar)"}},
        {"[http://a.example/[1]]", {"http://a.example/[1]"}},
        // Chinese text and full-width punctuation end it.
        {"看这个http://a.example/x，好玩", {"http://a.example/x"}},
        {"链接：https://a.example/路径", {"https://a.example/"}},
        // Markup characters end it; nothing inside a tag is an address of its own.
        {"<a href=\"http://a.example/\">x</a>", {"http://a.example/"}},
        {"http://a.example/<script>", {"http://a.example/"}},
        // Not addresses: other schemes, no host, inside a word.
        {"javascript:alert(1)", {}},
        {"javascript://comment%0aalert(1)", {}},
        {"file:///etc/passwd ftp://a.example data:text/html,x", {}},
        {"http:// and https://", {}},
        {"http://./x http://-", {}},
        {"xhttp://a.example", {}},
        {"", {}},
        {"http", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(addresses(c.text), c.found) << c.text;
}

TEST(WebLinks, EverythingButAddressesIsEscaped)
{
    struct Case {
        const char* text;
        const char* html;  // inside the pre-wrap span
    };
    const Case cases[] = {
        {"<script>alert('x')</script>", "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"},
        {"<b>bold</b> & <img src=x onerror=y>", "&lt;b&gt;bold&lt;/b&gt; &amp; &lt;img src=x onerror=y&gt;"},
        {"a  b\nc", "a  b\nc"},
        {"see http://a.example/?q=\"x\"", "see <a href=\"http://a.example/?q=\">http://a.example/?q=</a>&quot;x&quot;"},
        {"http://a.example/?a=1&b=2.", "<a href=\"http://a.example/?a=1&amp;b=2\">http://a.example/?a=1&amp;b=2</a>."},
        {"javascript:alert(1) http://ok.example", "javascript:alert(1) <a href=\"http://ok.example\">http://ok.example</a>"},
        {"你好 https://a.example/x，再见", "你好 <a href=\"https://a.example/x\">https://a.example/x</a>，再见"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(linkedHtml(c.text), std::string("<span style=\"white-space: pre-wrap\">") + c.html + "</span>") << c.text;
}

TEST(WebLinks, NoAddressEverCarriesAQuoteOrAnAngleBracketIntoItsHref)
{
    // Whatever bytes surround it, an href never ends early: the attribute cannot be left.
    const std::string noise = "\"'<>` \t\n&\x01\xff";
    for (const char before : noise)
        for (const char after : noise) {
            const std::string text = std::string(1, before) + "https://a.example/p'q\"r" + after;
            const std::string html = linkedHtml(text);
            const std::size_t href = html.find("href=\"");
            ASSERT_NE(href, std::string::npos) << text;
            const std::size_t close = html.find('"', href + 6);
            const std::string value = html.substr(href + 6, close - href - 6);
            EXPECT_EQ(value.find_first_of("<>'\""), std::string::npos) << text;
            EXPECT_EQ(html[close + 1], '>') << text;
        }
}

}  // namespace
}  // namespace lumo
