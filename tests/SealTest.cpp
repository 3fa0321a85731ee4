#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "viewlog/Base64.h"
#include "viewlog/DesCipher.h"
#include "viewlog/LogSealer.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes ToBytes(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

std::string EncodeToString(const Bytes& in)
{
    std::vector<char> out(4 * ((in.size() + 2) / 3) + 5, 'X');
    EXPECT_TRUE(CBase64().Encode(in.data(), in.size(), out.data(), out.size()));
    return out.data();
}

// Decodes into a buffer of exactly `limit` bytes so ASan sees any overrun.
Bytes DecodeToBytes(const std::string& text, int limit = 256, int* result = nullptr)
{
    std::unique_ptr<unsigned char[]> out(new unsigned char[limit > 0 ? limit : 1]);
    int n = CBase64().Decode(text.c_str(), out.get(), limit);
    if (result)
        *result = n;
    return n < 0 ? Bytes() : Bytes(out.get(), out.get() + n);
}

std::string Seal(const std::string& text)
{
    auto sealed = SealText(text.c_str());
    EXPECT_NE(sealed, nullptr);
    return sealed ? sealed.get() : "";
}

// Null stays distinguishable from an empty opened text.
bool Open(const std::string& sealed, std::string* plain)
{
    auto opened = OpenText(sealed.c_str());
    if (!opened)
        return false;
    *plain = opened.get();
    return true;
}

std::string OpenOrFail(const std::string& sealed)
{
    std::string plain;
    EXPECT_TRUE(Open(sealed, &plain)) << "'" << sealed << "'";
    return plain;
}

// Non-zero bytes of all kinds, high ones included, since a zero would end the text.
std::string TextOfLength(size_t len)
{
    std::string s;
    for (size_t i = 0; i < len; ++i)
        s.push_back(static_cast<char>(1 + (i * 37 + 11) % 255));
    return s;
}

std::string FromHex(const std::string& hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

struct KnownAnswer
{
    std::string text;
    std::string sealed;
};

std::vector<KnownAnswer> LoadKnownAnswers()
{
    std::ifstream in(std::string(FLB_TEST_DATA) + "/seal-kat.txt");
    std::vector<KnownAnswer> cases;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string hex, sealed;
        std::getline(fields, hex, ':');
        std::getline(fields, sealed, ':');
        cases.push_back({FromHex(hex), sealed});
    }
    return cases;
}

} // namespace

// ---------------------------------------------------------------- Base64

TEST(Base64, KnownAnswers)
{
    // Value 62 is "-"; partial groups are padded.
    const std::pair<Bytes, std::string> encoded[] = {
        {ToBytes("abc"), "YWJj"}, {{0xFB, 0xFF}, "-/8="}, {{0xF8, 0x00, 0x00}, "-AAA"}, {ToBytes("A"), "QQ=="}, {{}, ""}};
    for (const auto& e : encoded)
        EXPECT_EQ(EncodeToString(e.first), e.second);
    const std::pair<std::string, Bytes> decoded[] = {
        {"QQ==QUI=", ToBytes("AAB")},        // goes on after a padded group
        {"QUI", {}},                         // an unfinished group adds nothing
        {"Q Q = =", ToBytes("A")}, {"YW\r\nJj\t", ToBytes("abc")}, {"-/8=", {0xFB, 0xFF}},
        {"=AAAQQ==", ToBytes("A")},          // "=" first voids the group
        {"", {}},
        // Foreign characters, "+" too, decode as all bits set; bytes above 127 are no white space.
        {"-AAA", {0xF8, 0x00, 0x00}}, {"+AAA", {0xFC, 0x00, 0x00}}, {"\xC3" "AAA", {0xFC, 0x00, 0x00}},
        {"!!!!", {0xFF, 0xFF, 0xFF}}, {"AA\x80\xFF", {0x00, 0x0F, 0xFF}}, {"\xA0\xA0\xA0\xA0", {0xFF, 0xFF, 0xFF}},
    };
    for (const auto& d : decoded)
        EXPECT_EQ(DecodeToBytes(d.first), d.second) << d.first;
}

TEST(Base64Encode, RefusesTooSmallOutputWithoutOverrun)
{
    const Bytes in = ToBytes("abcdef");     // 8 characters and a NUL
    // Four spare bytes are wanted before every group, the final check too.
    for (size_t capacity = 0; capacity <= 12; ++capacity) {
        std::unique_ptr<char[]> out(new char[capacity ? capacity : 1]);
        bool ok = CBase64().Encode(in.data(), in.size(), out.get(), capacity);
        EXPECT_EQ(ok, capacity >= 13) << capacity;
        if (capacity > 0) {
            EXPECT_STREQ(out.get(), "") << capacity;
        }
    }
    std::vector<char> out(13);
    ASSERT_TRUE(CBase64().Encode(in.data(), in.size(), out.data(), out.size()));
    EXPECT_STREQ(out.data(), "YWJjZGVm");
}

TEST(Base64Decode, StopsAtLimitWithoutWritingPastIt)
{
    // Reaching the limit exactly is reported.
    const std::tuple<const char*, int, int> cases[] = {
        {"YWJj", 3, -1}, {"YWJj", 4, 3}, {"YWJjZGVm", 2, -1}, {"YWJj", 0, -1}, {"YWJj", -5, -1}, {"", 0, 0}};
    for (const auto& [text, limit, result] : cases) {
        int n = 0;
        DecodeToBytes(text, limit, &n);
        EXPECT_EQ(n, result) << text << " " << limit;
    }
}

// ---------------------------------------------------------------- sealing

TEST(Sealing, MatchesIndependentlyComputedTexts)
{
    const auto cases = LoadKnownAnswers();
    ASSERT_GE(cases.size(), 10u) << "missing " FLB_TEST_DATA "/seal-kat.txt";
    for (const auto& c : cases) {
        SCOPED_TRACE("text of " + std::to_string(c.text.size()) + " bytes");
        EXPECT_EQ(Seal(c.text), c.sealed);
        EXPECT_EQ(OpenOrFail(c.sealed), c.text);
    }
}

// Sealed texts grow by whole blocks: one for 1-8 bytes, two for 9-16, in the sealing alphabet.
TEST(Sealing, RoundTripsEveryLengthUpTo64)
{
    EXPECT_EQ(Seal(""), "");
    for (size_t len = 1; len <= 64; ++len) {
        const std::string text = TextOfLength(len);
        const std::string sealed = Seal(text);
        if (len <= 16) {
            EXPECT_EQ(sealed.size(), len <= 8 ? 12u : 24u) << len;
        }
        EXPECT_EQ(sealed.find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-/="),
                  std::string::npos) << len;
        EXPECT_EQ(OpenOrFail(sealed), text) << len;
    }
}

TEST(Sealing, FullBlocksCarryNoPadBlock)
{
    for (size_t len : {8u, 16u, 24u}) {
        const std::string text = TextOfLength(len);
        const std::string sealed = Seal(text);
        EXPECT_EQ(DecodeToBytes(sealed).size(), len);
        EXPECT_EQ(OpenOrFail(sealed), text);
    }
}

TEST(Sealing, NoStateCarriesFromOneCallToTheNext)
{
    const std::string first = Seal("u1,0001234,-5,x");
    Seal(TextOfLength(40));
    EXPECT_EQ(Seal("u1,0001234,-5,x"), first);
    // Identical blocks at different positions differ: chaining within a message works.
    const std::string twice = Seal("abcdefghabcdefgh");
    EXPECT_NE(twice.substr(0, 11), twice.substr(11, 11));
}

TEST(Sealing, WhiteSpaceInSealedTextIsIgnored)
{
    const std::string text = "user7,0000042,3,hello there";
    std::string sealed = Seal(text);
    std::string spaced;
    for (size_t i = 0; i < sealed.size(); ++i) {
        spaced += sealed[i];
        if (i % 5 == 4)
            spaced += (i % 2 ? "\r\n" : " \t");
    }
    EXPECT_EQ(OpenOrFail(spaced), text);
    EXPECT_EQ(OpenOrFail(sealed + "\r\n"), text);
}

TEST(Sealing, PlainTextCutAtFirstZeroByte)
{
    // Sixteen plain bytes whose ninth is zero, sealed by hand since SealText stops at a zero.
    unsigned char block[16] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0,
                               'j', 'k', 'l', 'm', 'n', 'o', 'p'};
    CLogSealer sealer;
    unsigned char cipher[16];
    sealer.Encrypt(block, cipher, sizeof block);
    char text[64];
    ASSERT_TRUE(CBase64().Encode(cipher, sizeof cipher, text, sizeof text));
    EXPECT_EQ(OpenOrFail(text), "abcdefgh");
}

// ---------------------------------------------------------------- malformed input

TEST(OpeningMalformed, TextsThatCannotBeSealedFail)
{
    std::string plain;
    EXPECT_EQ(OpenText(nullptr), nullptr);
    EXPECT_FALSE(Open("QUJD", &plain));               // 3 bytes
    EXPECT_FALSE(Open("QUJDRA==", &plain));           // 4 bytes
    EXPECT_FALSE(Open(Seal("abcdefghi").substr(0, 12) + "QUJD", &plain));  // 11 bytes
    EXPECT_FALSE(Open(std::string(20, '\xFF'), &plain));   // 15 bytes of all bits set
}

TEST(OpeningMalformed, TooShortToHoldABlockOpensEmpty)
{
    // An unsealed "OK" from the server must not pass for the sealed one.
    EXPECT_EQ(OpenOrFail("OK"), "");
    EXPECT_EQ(OpenOrFail(""), "");
    EXPECT_EQ(OpenOrFail("QUI"), "");
    EXPECT_EQ(OpenOrFail(" \r\n\t"), "");
}

TEST(OpeningMalformed, GarbageOfEveryLengthStaysInBounds)
{
    // Whatever the outcome, the result is a NUL-terminated text no longer than the input.
    for (size_t len = 0; len <= 80; ++len) {
        for (unsigned seed = 0; seed < 4; ++seed) {
            std::string garbage;
            for (size_t i = 0; i < len; ++i)
                garbage.push_back(static_cast<char>(1 + (i * 131 + seed * 61 + len) % 255));
            auto opened = OpenText(garbage.c_str());
            if (opened) {
                EXPECT_LE(std::strlen(opened.get()), len);
            }
        }
    }
}

TEST(OpeningMalformed, VeryLongInputIsHandled)
{
    const std::string text = TextOfLength(3000);
    std::string sealed = Seal(text);
    EXPECT_EQ(OpenOrFail(sealed), text);

    std::string huge(1 << 20, 'A');        // decodes to whole blocks of zeros
    EXPECT_NE(OpenText(huge.c_str()), nullptr);
    huge.push_back('A');
    huge.append("AAA");                    // three more bytes: no longer whole blocks
    EXPECT_EQ(OpenText(huge.c_str()), nullptr);
}

// ---------------------------------------------------------------- in place

TEST(SealInPlace, StringRoundTripAndFailure)
{
    std::string s = "u1,0001234,-5,x";
    ASSERT_TRUE(SealString(s));
    EXPECT_EQ(s, Seal("u1,0001234,-5,x"));
    ASSERT_TRUE(OpenString(s));
    EXPECT_EQ(s, "u1,0001234,-5,x");

    std::string empty;
    EXPECT_TRUE(SealString(empty));
    EXPECT_EQ(empty, "");

    std::string bad = "QUJDRA==";
    EXPECT_FALSE(OpenString(bad));
    EXPECT_EQ(bad, "") << "a failed open must not leave the sealed text behind";

    std::string unsealedOk = "OK";
    EXPECT_TRUE(OpenString(unsealedOk));
    EXPECT_NE(unsealedOk, "OK");
}

// ---------------------------------------------------------------- cipher

TEST(DesCipher, RejectsPartialBlocksAndUnusablePassphrases)
{
    CDesCipher cipher;
    ASSERT_TRUE(cipher.SetPassphrase("ZxR2pVq9TmWa"));
    unsigned char in[16] = {}, out[16] = {};
    for (size_t len = 1; len < 16; ++len) {
        if (len % 8) {
            EXPECT_FALSE(cipher.Decrypt(in, out, len)) << len;
        }
    }
    EXPECT_TRUE(cipher.Decrypt(in, out, 16));
    EXPECT_TRUE(cipher.Decrypt(in, out, 0));

    EXPECT_FALSE(cipher.SetPassphrase(nullptr));
    EXPECT_FALSE(cipher.SetPassphrase(std::string(1024, 'p').c_str()));
    EXPECT_TRUE(cipher.SetPassphrase(std::string(1023, 'p').c_str()));
}

TEST(DesCipher, EncryptPadsWithoutReadingPastInput)
{
    CDesCipher cipher;
    ASSERT_TRUE(cipher.SetPassphrase("ZxR2pVq9TmWa"));
    // Exact-size heap input: the padding must not come from beyond it.
    std::unique_ptr<unsigned char[]> in(new unsigned char[5]);
    std::memcpy(in.get(), "hello", 5);
    unsigned char padded[8] = {'h', 'e', 'l', 'l', 'o', 0, 0, 0};
    unsigned char a[8], b[8];
    cipher.Encrypt(in.get(), a, 5);
    cipher.Encrypt(padded, b, 8);
    EXPECT_EQ(0, std::memcmp(a, b, 8));

    unsigned char back[8];
    ASSERT_TRUE(cipher.Decrypt(a, back, 8));
    EXPECT_EQ(0, std::memcmp(back, padded, 8));
}
