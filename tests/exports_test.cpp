// SPDX-License-Identifier: BSD-2-Clause
// The small exports and the message relay, seen as a host sees them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/error_text.h"
#include "kestrel/kestrel.h"
#include "pipeline/host_link.h"

namespace kestrel {
namespace {

TEST(SetFactoryDefaults, WritesDefaultsOnlyForTheRecordSize) {
    struct Case {
        int32_t size;
        bool writes;
    };
    for (const Case c : {Case{16, true}, Case{15, false}, Case{17, false}, Case{0, false}, Case{-16, false}}) {
        SCOPED_TRACE(c.size);
        uint8_t record[16];
        std::memset(record, 0xFF, sizeof record);
        SetFactoryDefaults(c.size, reinterpret_cast<OptionRecord*>(record));
        OptionRecord words;
        std::memcpy(&words, record, sizeof words);
        if (c.writes) {
            EXPECT_EQ(words.flagEpochs, 0);
            EXPECT_EQ(words.reportL2Slips, 1);
            EXPECT_EQ(words.clockCorrection, 1);
            EXPECT_EQ(words.verboseDecoder, 0);
        } else {
            for (uint8_t b : record) EXPECT_EQ(b, 0xFF);
        }
    }
}

TEST(GetErrString, CopiesTheLatestTextWithItsTerminator) {
    set_error_text("first");
    set_error_text("Checksum failure");
    char host[KESTREL_ERROR_TEXT_SIZE + 8];
    std::memset(host, 'x', sizeof host);
    GetErrString(host);
    EXPECT_STREQ(host, "Checksum failure");
    EXPECT_EQ(host[sizeof "Checksum failure"], 'x');  // nothing beyond the terminator
}

TEST(GetErrString, NeverWritesPastTheHostsFiveHundredTwelveBytes) {
    const std::string longText(2000, 'a');
    format_error_text("Error: Unable to open %s", longText.c_str());
    char host[KESTREL_ERROR_TEXT_SIZE + 8];
    std::memset(host, 'x', sizeof host);
    GetErrString(host);
    EXPECT_EQ(std::strlen(host), KESTREL_ERROR_TEXT_SIZE - 1u);
    EXPECT_EQ(std::string(host, 21), "Error: Unable to open");
    for (std::size_t i = KESTREL_ERROR_TEXT_SIZE; i < sizeof host; ++i) EXPECT_EQ(host[i], 'x');
}

std::vector<std::pair<double, std::string>> relayed;
void KESTREL_STDCALL RecordMessage(double time, const char* text) { relayed.emplace_back(time, text); }

TEST(RelayMessage, ReachesTheHostOnlyWhenItGaveACallback) {
    relayed.clear();
    SetHostCallbacks(nullptr);
    relayMessage(-1.0, "before any conversion");

    CallbackBlock block;
    std::memset(&block, 0, sizeof block);
    block.blockSize = KESTREL_CALLBACK_BLOCK_SIZE;
    SetHostCallbacks(&block);
    relayMessage(-1.0, "no callback set");

    block.messageCallback = RecordMessage;
    relayMessage(123624.0, "L2 cycle slip on PRN 7");
    relayMessage(-1.0, "Checksum failure");
    SetHostCallbacks(nullptr);

    ASSERT_EQ(relayed.size(), 2u);
    EXPECT_EQ(relayed[0].first, 123624.0);
    EXPECT_EQ(relayed[0].second, "L2 cycle slip on PRN 7");
    EXPECT_EQ(relayed[1].first, -1.0);
}

}  // namespace
}  // namespace kestrel
