#include <gtest/gtest.h>
#include <algorithm>
#include <set>

#include "catalogue/SizeCodec.h"

TEST(SizeCodec, EncodedLengthsAndAlphabet) {
    CSizeCodec codec;
    struct { const char* text; size_t length; } cases[] = {{"0", 8}, {"1234", 12}, {"1234567", 16}, {"", 8}};
    for (const auto& c : cases) {
        std::string e = codec.Encode(c.text);
        EXPECT_EQ(e.size(), c.length) << c.text;
        EXPECT_EQ(e[0], '0');
        for (char ch : e) EXPECT_TRUE(ch >= '0' && ch <= 'o') << e;
        EXPECT_EQ(codec.Decode(e), c.text);
    }
}

TEST(SizeCodec, RoundTripsEverySaltAndSize) {
    CSizeCodec codec;
    // Seeds until every value of the salt byte that scrambles the text has been drawn.
    std::set<char> salts;
    for (unsigned seed = 0; salts.size() < 256 && seed < 100000; ++seed) {
        for (int size : {0, 1, 9, 10, 999, 1234567, 2147483647, -1, -2147483647 - 1}) {
            const std::string e = codec.Encode(std::to_string(size), seed);
            ASSERT_EQ(std::atoi(codec.Decode(e).c_str()), size) << e;
            salts.insert(static_cast<char>((e[2] - '0') << 6 | (e[3] - '0')));
        }
    }
    EXPECT_EQ(salts.size(), 256u);
}

TEST(SizeCodec, KnownEncodingWithZeroSalt) {
    // Worked by hand: bytes 00 00 00 "1" "2" 00 (salt 0) in six-bit groups plus 48.
    EXPECT_EQ(CSizeCodec().Decode("0000<C80"), "12");
}

TEST(SizeCodec, DamagedTextsDecodeWithinBounds) {
    CSizeCodec codec;
    for (std::string text : {std::string("0"), std::string("0z"), std::string("\xff\x01\x7f"),
                             std::string(10001, 'o'), std::string("00000"), std::string(3, '\0')}) {
        std::string out = codec.Decode(text);
        EXPECT_LE(out.size(), text.size());
    }
}

TEST(SizeCodec, SaltStaysBelow32768AndStillVaries) {
    // The salt is the low two bytes of the first group of four six-bit characters.
    auto salt = [](const std::string& e) {
        return static_cast<unsigned>((e[1] - '0') << 12 | (e[2] - '0') << 6 | (e[3] - '0')) & 0xFFFF;
    };
    CSizeCodec codec;
    unsigned highest = 0;
    // Seeds as the clock gives them, a day apart: some generators (msvcrt's) start low
    // after a small seed.
    for (unsigned day = 0; day < 200; ++day) {
        const unsigned seed = 1700000000u + day * 86400u;
        const std::string e = codec.Encode("4096", seed);
        EXPECT_LT(salt(e), 32768u) << seed;
        highest = std::max(highest, salt(e));
        EXPECT_EQ(codec.Decode(e), "4096");
    }
    EXPECT_GE(highest, 16384u);
}
