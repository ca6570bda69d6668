// SPDX-License-Identifier: BSD-2-Clause
#include "net/output.h"

#include <cmath>
#include <mutex>
#include <thread>

#include "net/stream.h"

namespace kestrel::net {

struct Output::Impl {
    Context context;
    std::unique_ptr<Service> service;
    std::thread thread;
    std::mutex stop_mutex;
};

Output::Output(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Output::~Output() { Stop(); }

bool Output::Publish(std::span<const uint8_t> bytes, Kind kind, double stream_time_s) {
    Context& c = impl_->context;
    const double time = std::isnan(stream_time_s) ? MonotonicSeconds() : stream_time_s;
    // The copy is made before the inbox's lock is taken: the lock only guards a pointer's push.
    BlockPtr block = MakeBlock(std::vector<uint8_t>(bytes.begin(), bytes.end()), kind, time);
    if (!c.inbox.Push(InboxItem{std::move(block), false}, c.options.max_inbox_bytes)) {
        c.counters.blocks_refused.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    c.counters.blocks_published.fetch_add(1, std::memory_order_relaxed);
    c.counters.bytes_published.fetch_add(bytes.size(), std::memory_order_relaxed);
    c.waker.Wake();
    return true;
}

void Output::SetSnapshot(const std::vector<std::vector<uint8_t>>& messages) {
    Context& c = impl_->context;
    std::vector<uint8_t> all;
    for (const auto& m : messages) all.insert(all.end(), m.begin(), m.end());
    const std::size_t size = all.size();
    // A snapshot is never refused for want of room: it replaces the one before.
    if (c.inbox.Push(InboxItem{MakeBlock(std::move(all), Kind::Raw, 0.0), true}, c.options.max_inbox_bytes + size))
        c.waker.Wake();
}

void Output::Stop() {
    std::lock_guard<std::mutex> lock(impl_->stop_mutex);
    if (!impl_->thread.joinable()) return;
    impl_->context.inbox.Close();
    impl_->context.stopping.store(true);
    impl_->context.waker.Wake();
    impl_->thread.join();
}

OutputStats Output::stats() const { return impl_->context.counters.Read(); }

uint16_t Output::port() const { return impl_->service->port(); }

const std::string& Output::name() const { return impl_->context.name; }

std::unique_ptr<Output> StartOutput(const Endpoint& endpoint, const OutputOptions& options, std::string* error) {
    auto impl = std::make_unique<Output::Impl>();
    Context& c = impl->context;
    c.endpoint = endpoint;
    c.options = options;
    c.name = endpoint.Redacted();
    if (!c.waker.valid()) {
        *error = c.name + ": cannot make an event descriptor: " + ErrnoText(errno);
        return nullptr;
    }
    if (endpoint.scheme == Scheme::NtripPush) {
        impl->service = MakePush(c);
    } else {
        const std::string& address = endpoint.host.empty() ? options.listen : endpoint.host;
        std::string why;
        Fd listener = Listen(address, endpoint.port, &why);
        if (!listener.valid()) {
            *error = c.name + ": " + why;
            return nullptr;
        }
        impl->service = endpoint.scheme == Scheme::TcpServer ? MakeTcpServer(c, std::move(listener))
                                                             : MakeCaster(c, std::move(listener));
    }
    Service* service = impl->service.get();
    impl->thread = std::thread([service] { service->Run(); });
    return std::unique_ptr<Output>(new Output(std::move(impl)));
}

}  // namespace kestrel::net
