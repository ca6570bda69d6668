// SPDX-License-Identifier: BSD-2-Clause
#include "qc/parser_messages.h"

#include <cstring>

namespace kestrel {
namespace {

// The frame parser's messages by the words they start with.
struct MessageKind {
    const char* prefix;
    ParserMessage kind;
    bool notice;  // sent only by a verbose decoder
};
constexpr MessageKind kParserMessages[] = {
    {"Checksum failure on ", ParserMessage::kChecksum, false},
    {"Invalid record length for ", ParserMessage::kRecordLength, true},
    {"Invalid variable data length on record ", ParserMessage::kItemCount, false},
    {"Record decoding failed", ParserMessage::kResync, true},
    {"NavCom Buffer overrun for record ", ParserMessage::kBufferOverrun, false},
};

struct Counting {
    QcParserCounts* counts = nullptr;
    KestrelMessageCallback forward = nullptr;
    bool forwardNotices = false;
};
Counting counting;

const MessageKind* Find(const char* text) {
    if (text == nullptr) return nullptr;
    for (const MessageKind& k : kParserMessages) {
        if (std::strncmp(text, k.prefix, std::strlen(k.prefix)) == 0) return &k;
    }
    return nullptr;
}

}  // namespace

ParserMessage ClassifyParserMessage(const char* text) {
    const MessageKind* k = Find(text);
    return k != nullptr ? k->kind : ParserMessage::kOther;
}

void StartCounting(QcParserCounts* counts, KestrelMessageCallback forward, bool forwardNotices) {
    counting = Counting{counts, forward, forwardNotices};
}

void StopCounting() { counting = Counting{}; }

void KESTREL_STDCALL CountingMessageCallback(double time, const char* text) {
    const MessageKind* k = Find(text);
    if (k != nullptr && counting.counts != nullptr) {
        QcParserCounts& c = *counting.counts;
        switch (k->kind) {
            case ParserMessage::kChecksum: ++c.checksumFailures; break;
            case ParserMessage::kRecordLength:
            case ParserMessage::kItemCount: ++c.lengthFailures; break;
            case ParserMessage::kResync: ++c.resyncs; break;
            case ParserMessage::kBufferOverrun: ++c.bufferOverruns; break;
            case ParserMessage::kOther: break;
        }
    }
    if (counting.forward == nullptr) return;
    if (k != nullptr && k->notice && !counting.forwardNotices) return;
    counting.forward(time, text);
}

}  // namespace kestrel
