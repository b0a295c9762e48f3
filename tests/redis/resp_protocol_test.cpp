// The protocol's pieces that need no server: the reply reader against every
// kind of reply, cut short, malformed and oversized; the command encoder; and
// the script names (SHA-1).
#include "redis/resp_command.h"
#include "redis/resp_reader.h"
#include "redis/sha1.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qc::redis {
namespace {

using Kind = RespReply::Kind;

RespReply Scalar(Kind kind, std::string text = {}, long long integer = 0) {
    RespReply reply;
    reply.kind = kind;
    reply.text = std::move(text);
    reply.integer = integer;
    return reply;
}
RespReply ArrayOf(std::vector<RespReply> elements) {
    RespReply reply;
    reply.kind = Kind::Array;
    reply.elements = std::move(elements);
    return reply;
}

struct WellFormed {
    std::string wire;
    RespReply reply;
};

std::vector<WellFormed> WellFormedReplies() {
    return {
        {"+OK\r\n", Scalar(Kind::Status, "OK")},
        {"+\r\n", Scalar(Kind::Status, "")},
        {"-NOSCRIPT No matching script\r\n", Scalar(Kind::Error, "NOSCRIPT No matching script")},
        {":0\r\n", Scalar(Kind::Integer, "", 0)},
        {":-42\r\n", Scalar(Kind::Integer, "", -42)},
        {":9223372036854775807\r\n", Scalar(Kind::Integer, "", 9223372036854775807LL)},
        {":-9223372036854775808\r\n", Scalar(Kind::Integer, "", -9223372036854775807LL - 1)},
        {"$0\r\n\r\n", Scalar(Kind::Bulk, "")},
        {"$-1\r\n", Scalar(Kind::Nil)},
        {std::string("$7\r\na\r\nb\0c\r\r\n", 13), Scalar(Kind::Bulk, std::string("a\r\nb\0c\r", 7))},
        {"*-1\r\n", Scalar(Kind::NilArray)},
        {"*0\r\n", ArrayOf({})},
        {"*3\r\n:1\r\n$-1\r\n*1\r\n+x\r\n",
         ArrayOf({Scalar(Kind::Integer, "", 1), Scalar(Kind::Nil), ArrayOf({Scalar(Kind::Status, "x")})})},
    };
}

TEST(RespReader, ReadsEveryKindOfReplyAndWaitsForTheRestOfOne) {
    const RespLimits limits;
    for (const WellFormed& sample : WellFormedReplies()) {
        SCOPED_TRACE(sample.wire);
        RespReply reply;
        const RespParseResult whole = ParseReply(sample.wire, limits, &reply);
        ASSERT_EQ(whole.status, RespParse::Complete);
        EXPECT_EQ(whole.bytes, sample.wire.size());
        EXPECT_EQ(reply, sample.reply);

        // What follows the reply is left for the caller.
        EXPECT_EQ(ParseReply(sample.wire + "+next\r\n", limits, &reply).bytes, sample.wire.size());

        // Every cut-short reply asks for more than it has, never for less.
        for (std::size_t cut = 0; cut < sample.wire.size(); ++cut) {
            const RespParseResult part = ParseReply(sample.wire.substr(0, cut), limits, &reply);
            ASSERT_EQ(part.status, RespParse::Incomplete) << "cut at " << cut;
            EXPECT_GT(part.bytes, cut);
            EXPECT_LE(part.bytes, sample.wire.size());
        }
    }
}

// A reply read as it arrives, in pieces of every size, reads as it does in
// one go; and each call starts past what the calls before it read whole,
// so a reply of many elements is not read again from its start with every
// piece (which made a large reply cost time in the square of its size).
TEST(RespReader, ReadsOnFromWhereItLeftOff) {
    const RespLimits limits;
    std::string wire = "*3\r\n:1\r\n*2\r\n$-1\r\n$5\r\nab\r\nc\r\n+x\r\n";
    for (std::size_t piece = 1; piece <= wire.size(); ++piece) {
        RespReply reply;
        RespReplyReader reader(limits, &reply);
        RespParseResult result{RespParse::Incomplete, 0};
        for (std::size_t have = piece; result.status == RespParse::Incomplete; have += piece)
            result = reader.Read(std::string_view(wire).substr(0, have));
        ASSERT_EQ(result.status, RespParse::Complete) << "pieces of " << piece;
        EXPECT_EQ(result.bytes, wire.size());
        EXPECT_EQ(reply, ArrayOf({Scalar(Kind::Integer, "", 1),
                                  ArrayOf({Scalar(Kind::Nil), Scalar(Kind::Bulk, "ab\r\nc")}),
                                  Scalar(Kind::Status, "x")}));
    }

    // 1000 elements, the last cut short: the next call starts at it.
    std::string many = "*1000\r\n";
    for (int i = 0; i < 999; ++i) many += "$3\r\nabc\r\n";
    const std::size_t last = many.size();
    many += "$3\r\nab";
    RespReply reply;
    RespReplyReader reader(limits, &reply);
    EXPECT_EQ(reader.Read(many).status, RespParse::Incomplete);
    EXPECT_EQ(reader.Position(), last);
    many += "c\r\n";
    EXPECT_EQ(reader.Read(many).status, RespParse::Complete);
    EXPECT_EQ(reply.elements.size(), 1000u);
}

TEST(RespReader, RefusesWhatIsNotTheProtocol) {
    const char* const kMalformed[] = {
        "?\r\n",                      // unknown type
        "_\r\n",                      // a version-3 null, never asked for
        "+OK\rX",                     // CR without LF
        "+O\nK\r\n",                  // LF inside a line
        ":\r\n",                      // empty integer
        ":12a\r\n",                   // not a number
        ":+5\r\n",                    // no plus sign
        ":9223372036854775808\r\n",   // beyond 64 bits
        "$-2\r\n",                    // a negative length other than nil
        "$3\r\nabcd\r\n",             // bulk longer than said
        "$3\r\nab\r\n\r\n",           // bulk whose end is not CR LF
        "*-5\r\n",
        "*2\r\n:1\r\n!\r\n",          // a bad element
    };
    const RespLimits limits;
    for (const char* wire : kMalformed) {
        RespReply reply;
        EXPECT_EQ(ParseReply(wire, limits, &reply).status, RespParse::Malformed) << wire;
    }
}

TEST(RespReader, RefusesWhatIsOverItsLimitsBeforeReadingIt) {
    RespLimits limits;
    limits.maxLineBytes = 8;
    limits.maxBulkBytes = 4;
    limits.maxArrayElements = 2;
    limits.maxElements = 6;
    limits.maxDepth = 2;
    limits.maxReplyBytes = 30;
    const char* const kOversized[] = {
        "+123456789",                 // a line longer than 8, not even ended
        "+123456789\r\n",
        "$5\r\n",                     // a bulk over 4, refused from its header
        "$99999999999999\r\n",
        "*3\r\n",                     // an array over 2
        "*2\r\n*2\r\n:1\r\n:2\r\n*2\r\n:3\r\n:4\r\n",  // seven values in all
        "*1\r\n*1\r\n*1\r\n:1\r\n",                  // three arrays deep
        "*2\r\n$4\r\nabcd\r\n*2\r\n$4\r\nabcd\r\n$4\r\n",  // would end past 30 bytes
        "*2\r\n$4\r\nabcd\r\n*2\r\n$4\r\nabcd\r\n$4\r\nabcd\r\n",  // ends past them
    };
    for (const char* wire : kOversized) {
        RespReply reply;
        EXPECT_EQ(ParseReply(wire, limits, &reply).status, RespParse::TooLarge) << wire;
    }
    RespReply reply;
    EXPECT_EQ(ParseReply("+12345678\r\n", limits, &reply).status, RespParse::Complete);  // exactly at the caps
    EXPECT_EQ(ParseReply("$4\r\nabcd\r\n", limits, &reply).status, RespParse::Complete);
    EXPECT_EQ(ParseReply("*2\r\n*1\r\n:1\r\n:2\r\n", limits, &reply).status, RespParse::Complete);
}

TEST(RespCommand, CarriesEveryArgumentWithItsLength) {
    const std::string nasty("a\r\n*1\0", 6);
    EXPECT_EQ(RespCommand("SET").Add(nasty).Add(-12).Encoded(),
              std::string("*3\r\n$3\r\nSET\r\n$6\r\na\r\n*1\0\r\n$3\r\n-12\r\n", 34));
    EXPECT_EQ(RespCommand().Encoded(), "*0\r\n");
}

TEST(Sha1, MatchesTheStandardsVectors) {
    EXPECT_EQ(Sha1Hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(Sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(Sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(Sha1Hex(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

}  // namespace
}  // namespace qc::redis
