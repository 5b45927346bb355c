// The list reply as the directory sends it: the compressed reply, stitched from the caller's
// line and the shared compressed lines, must decode to exactly the plain reply; the ETag must
// tell lists and callers apart and be answered 304; Accept-Encoding is read as HTTP means it.
#include "list_reply.h"

#include <gtest/gtest.h>
#include <zlib.h>

using namespace lumo::directory;

namespace {

std::string joined(const HttpResponse& response)
{
    std::string body;
    for (const auto& piece : response.body) body += *piece;
    return body;
}

std::string header(const HttpResponse& response, const std::string& name)
{
    for (const auto& [key, value] : response.headers) {
        if (key == name) return value;
    }
    return {};
}

// What any gzip reader makes of the body: one gzip member, checked against its CRC and length.
std::string gunzip(const std::string& compressed, bool& ok)
{
    z_stream stream{};
    ok = inflateInit2(&stream, 16 + MAX_WBITS) == Z_OK;
    std::string out(1 << 22, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    ok = ok && inflate(&stream, Z_FINISH) == Z_STREAM_END && stream.avail_in == 0;
    out.resize(stream.total_out);
    inflateEnd(&stream);
    return out;
}

std::vector<Registration> groups(int count, const std::string& name = "\xC8\xBA")
{
    std::vector<Registration> out;
    for (int i = count; i > 0; --i)
        out.push_back({i, name + std::to_string(i), "10.0." + std::to_string(i / 256) + '.' + std::to_string(i % 256),
                       3555, 0});
    return out;
}

HttpResponse reply(const RenderedList& list, const std::string& peer, const std::string& encoding = {},
                   const std::string& ifNoneMatch = {})
{
    HttpResponse response;
    fillListReply(list, {peer, encoding, ifNoneMatch}, response);
    return response;
}

}  // namespace

TEST(ListReply, CompressedReplyDecodesToThePlainReply)
{
    for (const int count : {0, 1, 3000}) {
        const auto list = renderList(groups(count));
        const auto best = recompressed(*list);
        for (const std::string peer : {"127.0.0.1", "2001:db8:ffff:ffff:ffff:ffff:ffff:ffff", ""}) {
            const HttpResponse plain = reply(*list, peer);
            EXPECT_EQ(joined(plain), "myserverlist\r\n" + peer + " \r\n" + renderGroupLines(groups(count)));
            EXPECT_EQ(header(plain, "Content-Encoding"), "");
            for (const auto* rendering : {list.get(), best.get()}) {
                const HttpResponse gzipped = reply(*rendering, peer, "gzip, deflate, br");
                EXPECT_EQ(header(gzipped, "Content-Encoding"), "gzip");
                EXPECT_EQ(header(gzipped, "ETag"), header(plain, "ETag"));
                bool ok = false;
                EXPECT_EQ(gunzip(joined(gzipped), ok), joined(plain)) << count << " groups, peer " << peer;
                EXPECT_TRUE(ok);
            }
        }
    }
    // The bench's kind of list compresses well.
    const auto large = renderList(groups(10000));
    EXPECT_LT(joined(reply(*large, "127.0.0.1", "gzip")).size() * 5, joined(reply(*large, "127.0.0.1")).size());
}

TEST(ListReply, EtagTellsListsAndCallersApartAndIsAnswered304)
{
    const auto list = renderList(groups(5));
    const std::string tag = header(reply(*list, "192.0.2.1"), "ETag");
    ASSERT_EQ(tag.rfind("W/\"", 0), 0u);
    EXPECT_EQ(header(reply(*renderList(groups(5)), "192.0.2.1"), "ETag"), tag);  // any process, same list
    EXPECT_NE(header(reply(*list, "192.0.2.2"), "ETag"), tag);
    EXPECT_NE(header(reply(*renderList(groups(6)), "192.0.2.1"), "ETag"), tag);
    EXPECT_NE(header(reply(*renderList(groups(5, "x")), "192.0.2.1"), "ETag"), tag);

    const std::string strong = tag.substr(2);
    struct Case {
        std::string ifNoneMatch;
        int status;
    };
    for (const Case& c : std::vector<Case>{{tag, 304},
                                           {strong, 304},
                                           {"\"old\", " + tag, 304},
                                           {"*", 304},
                                           {"\"old\"", 200},
                                           {header(reply(*list, "192.0.2.2"), "ETag"), 200},
                                           {"", 200}}) {
        const HttpResponse answered = reply(*list, "192.0.2.1", "gzip", c.ifNoneMatch);
        EXPECT_EQ(answered.status, c.status) << c.ifNoneMatch;
        EXPECT_EQ(answered.body.empty(), c.status == 304);
        EXPECT_EQ(header(answered, "ETag"), tag);
        EXPECT_EQ(header(answered, "Vary"), "Accept-Encoding");
    }
}

TEST(ListReply, AcceptEncodingAsHttpMeansIt)
{
    struct Case {
        std::string value;
        bool gzip;
    };
    for (const Case& c : std::vector<Case>{{"gzip", true},
                                           {"deflate, gzip", true},
                                           {"GZIP", true},
                                           {"x-gzip", true},
                                           {"*", true},
                                           {"br;q=1.0, gzip;q=0.5", true},
                                           {"gzip;q=0", false},
                                           {"gzip; q=0.000", false},
                                           {"identity", false},
                                           {"deflate, br", false},
                                           {"gzipped", false},
                                           {"", false}})
        EXPECT_EQ(acceptsGzip(c.value), c.gzip) << c.value;
}
