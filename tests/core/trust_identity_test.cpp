// Identity keys, their fingerprints and file, and keys trusted on first use.
#include "core/trust/identity.h"
#include "core/trust/trust_store.h"
#include "trust_seeds.h"

#include <gtest/gtest.h>

#include <regex>

using namespace lumo;

TEST(TrustIdentity, TheSameSeedGivesTheSameKeyAndTheFileKeepsIt)
{
    const Identity a = Identity::fromSeed(seedOf(1));
    EXPECT_EQ(a.publicKey(), Identity::fromSeed(seedOf(1)).publicKey());
    EXPECT_NE(a.publicKey(), Identity::fromSeed(seedOf(2)).publicKey());
    const auto back = parseIdentityFile(identityFileText(a));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->publicKey(), a.publicKey());
    EXPECT_NE(randomSeed(), randomSeed());
}

TEST(TrustIdentity, ADamagedIdentityFileIsRefused)
{
    const std::string good = identityFileText(Identity::fromSeed(seedOf(3)));
    for (const std::string& bad : {std::string(), std::string("lumo-identity 2\n") + good.substr(16),
                                   good.substr(0, good.size() - 3) + "\n", good.substr(0, good.size() - 2) + "zz\n",
                                   std::string("lumo-identity 1\nseed \n"), good + "0"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(parseIdentityFile(bad));
    }
}

TEST(TrustIdentity, TheFingerprintIsEightGroupsOfHexAndDiffersPerKey)
{
    const std::string a = fingerprintText(Identity::fromSeed(seedOf(1)).publicKey());
    EXPECT_TRUE(std::regex_match(a, std::regex("([0-9A-F]{4} ){7}[0-9A-F]{4}"))) << a;
    EXPECT_NE(a, fingerprintText(Identity::fromSeed(seedOf(2)).publicKey()));
}

TEST(TrustStoreTest, FirstUseIsRememberedAChangedKeyIsReportedAndNotTaken)
{
    const auto annKey = Identity::fromSeed(seedOf(1)).publicKey();
    const auto malloryKey = Identity::fromSeed(seedOf(9)).publicKey();
    TrustStore store;
    struct Meeting {
        const char* group;
        const char* name;
        SigningPublicKey key;
        KeyVerdict verdict;
    };
    for (const Meeting& m : {Meeting{"10.0.0.1", "ann", annKey, KeyVerdict::FirstSeen},
                             Meeting{"10.0.0.1", "ann", annKey, KeyVerdict::Known},
                             Meeting{"10.0.0.1", "ann", malloryKey, KeyVerdict::Changed},
                             Meeting{"10.0.0.1", "ann", malloryKey, KeyVerdict::Changed},  // still not taken
                             Meeting{"10.0.0.2", "ann", malloryKey, KeyVerdict::FirstSeen},  // another group
                             Meeting{"10.0.0.1", "bob", malloryKey, KeyVerdict::FirstSeen}}) {
        SCOPED_TRACE(std::string(m.group) + " " + m.name);
        EXPECT_EQ(store.meet(m.group, m.name, m.key), m.verdict);
    }
    store.accept("10.0.0.1", "ann", malloryKey);
    EXPECT_EQ(store.meet("10.0.0.1", "ann", malloryKey), KeyVerdict::Known);
    EXPECT_EQ(store.meet("10.0.0.1", "ann", annKey), KeyVerdict::Changed);
}

TEST(TrustStoreTest, TheFileRoundTripsAndSkipsDamagedLines)
{
    TrustStore store;
    store.meet("10.0.0.1", "\xD5\xC5\xC8\xFD", Identity::fromSeed(seedOf(1)).publicKey());  // a GBK name
    store.meet("10.0.0.1", "name with space", Identity::fromSeed(seedOf(2)).publicKey());
    const std::string text = store.toText();
    int bad = -1;
    TrustStore back = TrustStore::fromText(text + "zz 00 11\nonly two\n" + "31 32 " + std::string(62, 'a') + "\n\n",
                                           &bad);
    EXPECT_EQ(bad, 3);
    EXPECT_EQ(back.size(), 2u);
    EXPECT_EQ(back.toText(), text);
    EXPECT_EQ(back.known("10.0.0.1", "\xD5\xC5\xC8\xFD"), Identity::fromSeed(seedOf(1)).publicKey());
}

TEST(TrustStoreTest, HoldsAtMostItsLimitWhateverItIsFed)
{
    TrustStore store;
    const auto key = Identity::fromSeed(seedOf(1)).publicKey();
    for (std::size_t i = 0; i < TrustStore::MaxEntries + 10; ++i)
        store.meet("g", "m" + std::to_string(i), key);
    EXPECT_EQ(store.size(), TrustStore::MaxEntries);
    EXPECT_EQ(TrustStore::fromText(store.toText() + store.toText()).size(), TrustStore::MaxEntries);
}
