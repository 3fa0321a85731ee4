#include <gtest/gtest.h>

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
    for (int size : {0, 1, 9, 10, 999, 1234567, 2147483647, -1, -2147483647 - 1}) {
        std::string text = std::to_string(size);
        EXPECT_EQ(std::atoi(codec.Decode(codec.Encode(text)).c_str()), size);
    }
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
