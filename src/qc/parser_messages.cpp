// SPDX-License-Identifier: BSD-2-Clause
#include "qc/parser_messages.h"

#include <cstddef>
#include <string_view>

#include "navcom/frame_parser.h"

namespace kestrel {
namespace {

// The words a message starts with: the format's text up to its first conversion.
constexpr std::string_view Prefix(const char* format) {
    std::size_t length = 0;
    while (format[length] != '\0' && format[length] != '%') ++length;
    return {format, length};
}

// The frame parser's messages by the words they start with.
struct MessageKind {
    std::string_view prefix;
    ParserMessage kind;
    bool notice;  // sent only by a verbose decoder
};
constexpr MessageKind kParserMessages[] = {
    {Prefix(kChecksumFormat), ParserMessage::kChecksum, false},
    {Prefix(kBadLengthFormat), ParserMessage::kRecordLength, true},
    {Prefix(kBadCountFormat), ParserMessage::kItemCount, false},
    {Prefix(kRescanText), ParserMessage::kResync, true},
    {Prefix(kOverrunFormat), ParserMessage::kBufferOverrun, false},
};

struct Counting {
    QcParserCounts* counts = nullptr;
    KestrelMessageCallback forward = nullptr;
    bool forwardNotices = false;
};
Counting counting;

const MessageKind* Find(const char* text) {
    if (text == nullptr) return nullptr;
    const std::string_view message(text);
    for (const MessageKind& k : kParserMessages) {
        if (message.starts_with(k.prefix)) return &k;
    }
    return nullptr;
}

}  // namespace

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
