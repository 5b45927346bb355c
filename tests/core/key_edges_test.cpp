// A watched key's presses and releases from the X server's raw events, the repeats of a held
// key folded in.
#include "core/keys/key_edges.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace lumo {
namespace {

// Runs a script of raw events: "p100" a press at time 100, "r120" a release, "s" the events
// read so far are handled, "x" the watch ends. Returns the edges, "D" down and "U" up, with a
// "|" after the edges of each step that gave any.
std::string run(KeyEdges& key, const std::string& script)
{
    std::istringstream in(script);
    std::string word, out;
    const auto add = [&out](const std::vector<KeyEdge>& edges) {
        for (const KeyEdge edge : edges) out += edge == KeyEdge::Down ? "D" : "U";
        if (!edges.empty()) out += "|";
    };
    while (in >> word) {
        const auto time = word.size() > 1 ? std::uint32_t(std::stoul(word.substr(1))) : 0u;
        switch (word[0]) {
        case 'p': add(key.press(time)); break;
        case 'r': key.release(time); break;
        case 's': add(key.settle()); break;
        case 'x': add(key.reset()); break;
        default: ADD_FAILURE() << word;
        }
    }
    return out;
}

TEST(KeyEdges, ScriptsOfRawEvents)
{
    struct Case {
        const char* what;
        const char* script;
        const char* edges;
        bool heldAfter;
    };
    const Case cases[] = {
        {"a tap", "p100 s r180 s", "D|U|", false},
        {"the release is not final before the batch is handled", "p100 s r180", "D|", true},
        {"held through the server's repeats: one press, one release",
         "p100 s r600 p600 s r633 p633 s r666 p666 s r2100 s", "D|U|", false},
        {"a repeat read across two batches still is one press", "p100 s r600 p600 r633 p633 s r700 s", "D|U|", false},
        {"two taps read in one batch are two presses", "p100 r150 p300 r350 s", "D|UD|U|", false},
        {"a release without a press", "r50 s", "", false},
        {"a press while held (no release between)", "p100 p200 s", "D|", true},
        {"the watch ends while held: let go", "p100 s x", "D|U|", false},
        {"the watch ends with a release pending", "p100 r150 x", "D|U|", false},
        {"the watch ends while up", "x", "", false},
        {"after the end a press is new", "p100 x p300 s", "D|U|D|", true},
    };
    for (const Case& c : cases) {
        KeyEdges key;
        EXPECT_EQ(run(key, c.script), c.edges) << c.what;
        EXPECT_EQ(key.held(), c.heldAfter) << c.what;
    }
}

}  // namespace
}  // namespace lumo
