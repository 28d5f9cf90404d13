#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AddressRange.h"
#include "Ipv4Text.h"

namespace {

uint32_t A(const char* text) {
    return *ParseStrictDottedAddress(text);
}

TEST(AddressRange, SpansAreParsedStrictly) {
    std::string error;
    const auto span = ParseAddressSpan("10.0.0.20-10.0.1.5", &error);
    ASSERT_TRUE(span) << error;
    EXPECT_EQ(span->first, A("10.0.0.20"));
    EXPECT_EQ(span->last, A("10.0.1.5"));
    EXPECT_TRUE(ParseAddressSpan("10.0.0.20-10.0.0.20", &error));
    for (const char* bad : {"10.0.0.20", "10.0.0.20-", "10.0.0.20 - 10.0.0.30", "10.0.0.30-10.0.0.20",
                            "10.0.0.1-10.0.0.300", "10.0.0-10.0.0.9", "010.0.0.1-10.0.0.9", "10.0.0.0-10.1.0.0"}) {
        error.clear();
        EXPECT_FALSE(ParseAddressSpan(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(AddressRange, HandsOutFreeAddressesInOrder) {
    const struct {
        const char* span;
        const char* mask;
        std::vector<const char*> inUse;
        std::vector<const char*> expected;
    } cases[] = {
        // Network and broadcast address of the /24 skipped, so are the addresses in use.
        {"10.0.0.254-10.0.1.2", "255.255.255.0", {"10.0.1.1"}, {"10.0.0.254", "10.0.1.2"}},
        {"10.0.0.20-10.0.0.24", "255.255.255.0", {"10.0.0.20", "10.0.0.22"}, {"10.0.0.21", "10.0.0.23", "10.0.0.24"}},
        // A /30 has two hosts; a /31 and a /32 have neither network nor broadcast address.
        {"10.0.0.4-10.0.0.7", "255.255.255.252", {}, {"10.0.0.5", "10.0.0.6"}},
        {"10.0.0.4-10.0.0.5", "255.255.255.254", {}, {"10.0.0.4", "10.0.0.5"}},
        // Addresses no camera may hold.
        {"127.255.255.254-128.0.0.1", "255.0.0.0", {}, {"128.0.0.1"}},
        {"10.0.0.255-10.0.0.255", "255.255.255.0", {}, {}},
    };
    for (const auto& c : cases) {
        std::string error;
        std::set<uint32_t> inUse;
        for (const char* address : c.inUse) {
            inUse.insert(A(address));
        }
        AddressAllocator allocator(*ParseAddressSpan(c.span, &error), A(c.mask), inUse);
        EXPECT_EQ(allocator.Free(), c.expected.size()) << c.span;
        std::vector<std::string> taken;
        while (const auto address = allocator.Take()) {
            taken.push_back(FormatDottedAddress(*address));
        }
        EXPECT_EQ(taken, std::vector<std::string>(c.expected.begin(), c.expected.end())) << c.span;
        EXPECT_EQ(allocator.Free(), 0u);
    }
}

TEST(AddressRange, AddressFoundInUseIsNeverHandedOutAgain) {
    std::string error;
    AddressAllocator allocator(*ParseAddressSpan("10.0.0.10-10.0.0.13", &error), A("255.255.255.0"), {});
    const auto first = allocator.Take();
    allocator.MarkInUse(*first);
    allocator.MarkInUse(A("10.0.0.12"));  // one the batch learnt of before handing it out
    EXPECT_EQ(allocator.Free(), 2u);
    EXPECT_EQ(allocator.Take(), A("10.0.0.11"));
    EXPECT_EQ(allocator.Take(), A("10.0.0.13"));
    EXPECT_EQ(allocator.Take(), std::nullopt);
}

}  // namespace
