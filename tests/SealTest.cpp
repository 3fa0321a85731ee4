// The sealing of view notices and of the log server's answers, against texts computed
// without our code (tests/data/make-seal-kat.sh). Round trips of any text and the bounds
// of opening and of the Base64 buffers are the fuzz targets' (fuzz_open, fuzz_base64).
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
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

std::string Encoded(const Bytes& in)
{
    std::vector<char> out(4 * ((in.size() + 2) / 3) + 5, 'X');
    EXPECT_TRUE(CBase64().Encode(in.data(), in.size(), out.data(), out.size()));
    return out.data();
}

Bytes Decoded(const std::string& text)
{
    unsigned char out[256];
    const int n = CBase64().Decode(text.c_str(), out, sizeof out);
    return n < 0 ? Bytes() : Bytes(out, out + n);
}

std::string Seal(const std::string& text)
{
    auto sealed = SealText(text.c_str());
    EXPECT_NE(sealed, nullptr);
    return sealed ? sealed.get() : "";
}

// What a failed opening gives, told apart from an empty opened text.
const char kUnopenable[] = "(unopenable)";

std::string Opened(const std::string& sealed)
{
    auto opened = OpenText(sealed.c_str());
    return opened ? opened.get() : kUnopenable;
}

std::string FromHex(const std::string& hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

} // namespace

TEST(Base64, KnownAnswers)
{
    // Value 62 is "-"; partial groups are padded.
    const std::pair<Bytes, std::string> encoded[] = {
        {ToBytes("abc"), "YWJj"}, {{0xFB, 0xFF}, "-/8="}, {{0xF8, 0x00, 0x00}, "-AAA"}, {ToBytes("A"), "QQ=="}, {{}, ""}};
    for (const auto& e : encoded)
        EXPECT_EQ(Encoded(e.first), e.second);
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
        EXPECT_EQ(Decoded(d.first), d.second) << d.first;
}

// Each line of the file: the text as hex, then its sealing.
TEST(Sealing, MatchesIndependentlyComputedTexts)
{
    std::ifstream in(std::string(FLB_TEST_DATA) + "/seal-kat.txt");
    int cases = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string hex, sealed;
        std::getline(fields, hex, ':');
        std::getline(fields, sealed, ':');
        const std::string text = FromHex(hex);
        SCOPED_TRACE("text of " + std::to_string(text.size()) + " bytes");
        EXPECT_EQ(Seal(text), sealed);
        EXPECT_EQ(Opened(sealed), text);
        ++cases;
    }
    EXPECT_GE(cases, 10) << "missing " FLB_TEST_DATA "/seal-kat.txt";
}

TEST(Sealing, PlainTextCutAtFirstZeroByte)
{
    // Sixteen plain bytes whose ninth is zero, sealed by hand since SealText stops at a zero.
    unsigned char block[16] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0,
                               'j', 'k', 'l', 'm', 'n', 'o', 'p'};
    unsigned char cipher[16];
    CLogSealer().Encrypt(block, cipher, sizeof block);
    char text[64];
    ASSERT_TRUE(CBase64().Encode(cipher, sizeof cipher, text, sizeof text));
    EXPECT_EQ(Opened(text), "abcdefgh");
}

TEST(Sealing, OpensOnlyWholeBlocksAndTooLittleToEmpty)
{
    const std::string huge(1 << 20, 'A');   // whole blocks
    const std::pair<std::string, std::string> cases[] = {
        {"QUJD", kUnopenable},                                    // 3 bytes
        {"QUJDRA==", kUnopenable},                                // 4 bytes
        {Seal("abcdefghi").substr(0, 12) + "QUJD", kUnopenable},  // 11 bytes
        {std::string(20, '\xFF'), kUnopenable},                   // 15 bytes of all bits set
        {huge + "AAAA", kUnopenable},                             // three bytes past whole blocks
        // An unsealed "OK" from the server must not pass for the sealed one.
        {"OK", ""}, {"", ""}, {"QUI", ""}, {" \r\n\t", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Opened(c.first), c.second) << c.first.substr(0, 40);
    EXPECT_NE(OpenText(huge.c_str()), nullptr);
    EXPECT_EQ(OpenText(nullptr), nullptr);
}

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
