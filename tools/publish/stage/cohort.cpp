// Which players a staged release reaches: nginx's split_clients buckets and the salted bucket order.
#include "stage/cohort.h"

#include <algorithm>
#include <arpa/inet.h>

uint32_t MurmurHash2(const std::string& text) {
    const uint32_t m = 0x5bd1e995;
    const unsigned char* data = reinterpret_cast<const unsigned char*>(text.data());
    size_t len = text.size();
    uint32_t h = static_cast<uint32_t>(len);
    while (len >= 4) {
        uint32_t k = data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24;
        k *= m;
        k ^= k >> 24;
        k *= m;
        h *= m;
        h ^= k;
        data += 4;
        len -= 4;
    }
    switch (len) {
    case 3:
        h ^= data[2] << 16;
        [[fallthrough]];
    case 2:
        h ^= data[1] << 8;
        [[fallthrough]];
    case 1:
        h ^= data[0];
        h *= m;
    }
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    return h;
}

int BucketOfAddressText(const std::string& address) {
    // split_clients turns "1%" into 100 hundredths and adds 100 * 0xffffffff / 10000 per part.
    const uint32_t step = static_cast<uint32_t>(100ull * 0xffffffffull / 10000ull);
    return static_cast<int>(std::min<uint32_t>(MurmurHash2(address) / step, kBuckets - 1));
}

std::string BucketName(int bucket) {
    char name[3] = {static_cast<char>('0' + bucket / 10), static_cast<char>('0' + bucket % 10), '\0'};
    return name;
}

bool AddressText(const std::string& input, std::string& text) {
    unsigned char bytes[16];
    char buffer[INET6_ADDRSTRLEN];
    int family = input.find(':') == std::string::npos ? AF_INET : AF_INET6;
    if (inet_pton(family, input.c_str(), bytes) != 1 || inet_ntop(family, bytes, buffer, sizeof buffer) == nullptr)
        return false;
    text = buffer;
    return true;
}

std::vector<int> BucketOrder(uint64_t salt) {
    std::vector<int> order(kBuckets);
    for (int i = 0; i < kBuckets; ++i) order[i] = i;
    uint64_t state = salt;
    auto next = [&state]() {
        uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    };
    for (int i = kBuckets - 1; i > 0; --i) std::swap(order[i], order[next() % static_cast<uint64_t>(i + 1)]);
    return order;
}

bool BucketStaged(const std::vector<int>& order, int share, int bucket) {
    int position = BucketPosition(order, bucket);
    return position >= 0 && position < share;
}

int BucketPosition(const std::vector<int>& order, int bucket) {
    auto at = std::find(order.begin(), order.end(), bucket);
    return at == order.end() ? -1 : static_cast<int>(at - order.begin());
}
