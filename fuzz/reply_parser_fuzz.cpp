// The reply parser and the number-reading rule on arbitrary raw replies.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "check.hpp"
#include "serial/reply_parser.hpp"
#include "vantrel/error.hpp"
#include "vantrel/variant.hpp"

using namespace vantrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);

    const std::string cleaned = serial::removeLineEnds(raw);
    FUZZ_CHECK(cleaned.size() <= raw.size());
    FUZZ_CHECK(cleaned.find_first_of("\r\n") == std::string::npos);

    const std::string framed = serial::frameCommand(raw);
    FUZZ_CHECK(framed == "@" || (!framed.empty() && framed.back() == '\r'));
    FUZZ_CHECK(framed.size() <= raw.size() + 1);

    try {
        const double n = readReplyNumber(raw);
        FUZZ_CHECK(n == n);  // never NaN
    } catch (const Error& e) {
        FUZZ_CHECK(e.number() == err::Overflow);
    }

    const size_t q = cleaned.find('?');
    const size_t p = q == std::string::npos ? 0 : q + 1;
    {
        const serial::ParsedReply r = serial::parseReply(raw);
        if (p >= 1 && p <= 9) {
            FUZZ_CHECK(r.kind == serial::ParsedReply::Kind::BoardError);
            FUZZ_CHECK(r.s.size() <= 1);
            FUZZ_CHECK(r.errorNr >= 0 && r.errorNr <= 11);
            FUZZ_CHECK(r.errorText.size() + p + 1 <= cleaned.size() || r.errorText.empty());
            FUZZ_CHECK(r.errorText.empty() || r.errorText.front() != ' ');
        } else if (p >= 10) {
            FUZZ_CHECK(r.kind == serial::ParsedReply::Kind::Unrecognised);
            FUZZ_CHECK(r.s == cleaned);
        } else {
            FUZZ_CHECK(r.kind == serial::ParsedReply::Kind::Success);
            // The caller's text is a tail of the cleaned reply.
            FUZZ_CHECK(r.s.size() <= cleaned.size());
            FUZZ_CHECK(std::string_view(cleaned).ends_with(r.s));
            FUZZ_CHECK(r.value == r.value);
        }
        // Only the number of a success reply can be out of range.
        FUZZ_CHECK(r.numberError == 0 || (r.numberError == err::Overflow && p == 0));
    }
    return 0;
}
