// Speech for the voice tests is made at test time; the same text must give
// the same bytes, or comparisons between runs would mean nothing.
#include "sound_fixture.h"

using namespace voicetest;

TEST(Speech, IsMadeReproduciblyAsRawUnsigned8BitAt8000Hz) {
    TempDir first, second;
    Bytes a, b;
    std::string error;
    ASSERT_TRUE(MakeSpeech("Testing the voice path, one two three.", first.Path().string(), &a,
                           &error))
        << error;
    ASSERT_TRUE(MakeSpeech("Testing the voice path, one two three.", second.Path().string(), &b,
                           &error))
        << error;
    EXPECT_EQ(a, b);
    // Roughly two seconds of sound, one byte per sample.
    EXPECT_GT(a.size(), 8000u);
    EXPECT_LT(a.size(), 8000u * 10);
    // Speech, not silence: a good part of the samples stray from 128.
    std::size_t loud = 0;
    for (std::uint8_t v : a) loud += (v < 120 || v > 136) ? 1 : 0;
    EXPECT_GT(loud, a.size() / 20);
}
