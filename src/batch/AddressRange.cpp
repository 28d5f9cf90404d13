#include "AddressRange.h"

#include "Ipv4Text.h"
#include "WizardRules.h"

namespace {

// Bounds the walk over the range: a /16 is the largest network a batch hands addresses out of.
constexpr uint64_t kMaxSpanSize = 65536;

// An address no camera may get: one the network page refuses, or the network address of a subnet that has one
// (masks of /30 and shorter; the page lets it pass, but a camera there is unreachable).
bool Refused(uint32_t address, uint32_t mask) {
    if (CheckNetworkAddresses(address, mask)) {
        return true;
    }
    const uint32_t host = ~mask;
    return host >= 3 && (address & host) == 0;
}

}  // namespace

std::optional<AddressSpan> ParseAddressSpan(std::string_view text, std::string* error) {
    // Appended piece by piece: GCC 12 at -O3 misreads `"..." + std::string` (-Wrestrict).
    const auto refuse = [&](std::string_view before, std::string_view after) {
        std::string message;
        message += before;
        message += text;
        message += after;
        *error = std::move(message);
        return std::nullopt;
    };
    const size_t dash = text.find('-');
    const auto first = dash == std::string_view::npos ? std::nullopt : ParseStrictDottedAddress(text.substr(0, dash));
    const auto last = dash == std::string_view::npos ? std::nullopt : ParseStrictDottedAddress(text.substr(dash + 1));
    if (!first || !last) {
        return refuse("\"", "\" is not a range like 192.168.0.20-192.168.0.80");
    }
    if (*first > *last) {
        return refuse("the range ", " ends before it starts");
    }
    if (uint64_t{*last} - *first + 1 > kMaxSpanSize) {
        return refuse("the range ", " holds more than 65536 addresses");
    }
    return AddressSpan{*first, *last};
}

AddressAllocator::AddressAllocator(AddressSpan span, uint32_t mask, std::set<uint32_t> inUse)
    : m_span(span), m_mask(mask), m_unavailable(std::move(inUse)), m_next(span.first) {}

size_t AddressAllocator::Free() const {
    std::lock_guard lock(m_mutex);
    size_t free = 0;
    for (uint64_t a = m_next; a <= m_span.last; ++a) {
        const auto address = static_cast<uint32_t>(a);
        free += !Refused(address, m_mask) && !m_unavailable.contains(address);
    }
    return free;
}

std::optional<uint32_t> AddressAllocator::Take() {
    std::lock_guard lock(m_mutex);
    for (uint64_t a = m_next; a <= m_span.last; ++a) {
        const auto address = static_cast<uint32_t>(a);
        if (Refused(address, m_mask) || m_unavailable.contains(address)) {
            continue;
        }
        m_unavailable.insert(address);
        // Past the last address m_next stays on it; it is taken, so nothing more is handed out.
        m_next = address == m_span.last ? address : address + 1;
        return address;
    }
    m_next = m_span.last;
    return std::nullopt;
}

void AddressAllocator::MarkInUse(uint32_t address) {
    std::lock_guard lock(m_mutex);
    m_unavailable.insert(address);
}
