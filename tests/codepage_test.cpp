#include <gtest/gtest.h>

#include <string>

#include "vantrel/platform.hpp"

using vantrel::bytesToText;
using vantrel::textToBytes;

namespace {

std::string allBytes() {
    std::string s;
    for (int b = 0; b < 256; ++b) s.push_back(static_cast<char>(b));
    return s;
}

TEST(Codepage, EveryByteRoundTrips) {
    const std::string bytes = allBytes();
    const std::string text = bytesToText(bytes);
    EXPECT_EQ(textToBytes(text), bytes);
    // One character per byte: 128 ASCII, 111 two-byte and 17 three-byte sequences.
    EXPECT_EQ(text.size(), 128u + 2 * 111u + 3 * 17u);
    for (int b = 0; b < 256; ++b) {
        const std::string one(1, static_cast<char>(b));
        EXPECT_EQ(textToBytes(bytesToText(one)), one) << b;
    }
}

TEST(Codepage, HighBytesAreWindows1252) {
    struct Case {
        unsigned char byte;
        const char* utf8;
    };
    // Every byte of the range the code page fills differently from Latin-1, plus samples above.
    const Case cases[] = {
        {0x80, "€"},      {0x81, "\u0081"}, {0x82, "‚"},      {0x83, "ƒ"},      {0x84, "„"},
        {0x85, "…"},      {0x86, "†"},      {0x87, "‡"},      {0x88, "ˆ"},      {0x89, "‰"},
        {0x8A, "Š"},      {0x8B, "‹"},      {0x8C, "Œ"},      {0x8D, "\u008D"}, {0x8E, "Ž"},
        {0x8F, "\u008F"}, {0x90, "\u0090"}, {0x91, "‘"},      {0x92, "’"},      {0x93, "“"},
        {0x94, "”"},      {0x95, "•"},      {0x96, "–"},      {0x97, "—"},      {0x98, "˜"},
        {0x99, "™"},      {0x9A, "š"},      {0x9B, "›"},      {0x9C, "œ"},      {0x9D, "\u009D"},
        {0x9E, "ž"},      {0x9F, "Ÿ"},      {0xA0, "\u00A0"}, {0xB0, "°"},      {0xC4, "Ä"},
        {0xE9, "é"},      {0xFF, "ÿ"}};
    for (const auto& c : cases) {
        const std::string byte(1, static_cast<char>(c.byte));
        EXPECT_EQ(bytesToText(byte), c.utf8) << int(c.byte);
        EXPECT_EQ(textToBytes(c.utf8), byte) << int(c.byte);
    }
}

TEST(Codepage, AsciiAndMixedText) {
    EXPECT_EQ(bytesToText(""), "");
    EXPECT_EQ(textToBytes(""), "");
    const std::string reply("OK 523\r\n>\0x", 11);
    EXPECT_EQ(bytesToText(reply), reply);
    EXPECT_EQ(textToBytes(reply), reply);
    // Long enough for the word-at-a-time scan to stop in the middle of a block.
    EXPECT_EQ(bytesToText("0123456789abc\x80xyz0123456789"), "0123456789abc\u20ACxyz0123456789");
    EXPECT_EQ(textToBytes("Temperatur 20\u00B0C \u2013 \u20AC5 caf\u00E9 ok"),
              "Temperatur 20\260C \226 \2005 caf\351 ok");  // octal escapes: B0, 96, 80, E9
}

TEST(Codepage, CharactersWithoutAByteBecomeQuestionMarks) {
    struct Case {
        const char* utf8;
        const char* bytes;
    };
    const Case cases[] = {{"\u0080", "?"},         // a C1 control that byte 0x80 does not stand for
                          {"\u0100", "?"},         // Latin Extended, not in the code page
                          {"\u03A9", "?"},         // Greek
                          {"\u4E2D\u6587", "??"},  // one mark per character, not per byte
                          {"a\U0001F600b", "a?b"},  // four-byte character
                          {"\uFFFD", "?"}};
    for (const auto& c : cases) EXPECT_EQ(textToBytes(c.utf8), c.bytes) << c.utf8;
}

TEST(Codepage, InvalidUtf8BytesBecomeQuestionMarks) {
    struct Case {
        std::string utf8;
        std::string bytes;
    };
    const Case cases[] = {
        {"\x80", "?"},                  // stray continuation byte
        {"a\xC3", "a?"},                // truncated at the end
        {"\xC3(", "?("},                // lead byte without continuation
        {"\xE2\x82", "??"},             // truncated three-byte sequence, byte by byte
        {"\xC0\xAF", "??"},             // overlong slash
        {"\xE0\x80\xAF", "???"},        // overlong three-byte form
        {"\xED\xA0\x80", "???"},        // surrogate half
        {"\xF4\x90\x80\x80", "????"},   // beyond U+10FFFF
        {"\xFF\xFE", "??"},             // never valid
        {"\xE2\x82\xAC\xE2", "\x80?"},  // valid euro, then a truncated one
    };
    for (const auto& c : cases) EXPECT_EQ(textToBytes(c.utf8), c.bytes);
}

}  // namespace
