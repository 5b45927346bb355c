// The list reply: "myserverlist", the caller's address as seen here, then one line per group.
// The group lines are rendered (and compressed) once per change of the list, off the thread that
// serves requests; each reply adds only its caller's line. A compressed reply is one gzip member
// whose deflate data is that caller's line in a stored block followed by the shared compressed
// lines, so no request compresses anything. The validator is a weak ETag over the whole reply
// (its checksums and length): the same list for the same caller, from any directory process on
// the same store, has the same tag, and a caller that has it is answered 304.
#pragma once

#include "group_store.h"
#include "http_server.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lumo::directory {

// The state text every listed group shows: "在线" (online) in GBK.
inline constexpr const char* OnlineState = "\xD4\xDA\xCF\xDF";

// One line per group, every field followed by one space, lines ending in CR LF.
std::string renderGroupLines(const std::vector<Registration>& groups);

struct RenderedList {
    std::shared_ptr<const std::string> lines;
    // The lines as raw deflate data ending in a final block.
    std::shared_ptr<const std::string> deflated;
    std::uint32_t crc = 0;      // crc32 of the lines
    std::uint32_t adler = 1;    // adler32 of the lines
    unsigned long crcAfter = 0;  // zlib's operator that appends the lines to a crc32
    bool best = false;          // compressed at the best level
};

// Renders the lines of `groups` and compresses them quickly.
std::shared_ptr<const RenderedList> renderList(const std::vector<Registration>& groups);
// The same lines compressed at the best level (the replies, and so their ETags, are the same).
std::shared_ptr<const RenderedList> recompressed(const RenderedList& list);

// True when an Accept-Encoding value admits gzip (a gzip or * coding whose q is not 0).
bool acceptsGzip(const std::string& acceptEncoding);

// True when an If-None-Match value names `etag` (weakly compared) or is "*".
bool etagMatches(const std::string& ifNoneMatch, const std::string& etag);

struct ListRequest {
    std::string peer;  // the caller's address, as its line shows it
    std::string acceptEncoding;
    std::string ifNoneMatch;
};

// The reply to one list request: 200 with the whole list (gzip-compressed when the caller takes
// it), or 304 when the caller has it already.
void fillListReply(const RenderedList& list, const ListRequest& request, HttpResponse& response);

}  // namespace lumo::directory
