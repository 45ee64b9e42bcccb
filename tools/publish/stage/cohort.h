// Which players a staged release reaches: nginx's split_clients buckets and the salted bucket order.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

constexpr int kBuckets = 100;

// nginx's ngx_murmur_hash2 (MurmurHash2, seed 0, little-endian blocks), which split_clients uses.
uint32_t MurmurHash2(const std::string& text);

// The bucket nginx-site.conf's split_clients gives the address text (as nginx writes
// $remote_addr): "1% 00; 1% 01; ... 1% 98; * 99;", i.e. the first part whose cumulative bound
// (i + 1) * floor(100 * 0xffffffff / 10000) lies above the hash, else the last bucket.
int BucketOfAddressText(const std::string& address);

// The value split_clients gives bucket, and the name of its link: "00" to "99".
std::string BucketName(int bucket);

// Normalises an IPv4 or IPv6 address to the text nginx hashes ("127.0.0.1", "2001:db8::1");
// false for anything else.
bool AddressText(const std::string& input, std::string& text);

// A permutation of the buckets drawn from salt (Fisher-Yates over SplitMix64). A share of P per
// cent is the first P buckets of it, so widening only ever adds buckets.
std::vector<int> BucketOrder(uint64_t salt);

// True when bucket is among the first share buckets of order.
bool BucketStaged(const std::vector<int>& order, int share, int bucket);

// Where bucket stands in order (0 = the first to be staged); -1 when it is missing.
int BucketPosition(const std::vector<int>& order, int bucket);
