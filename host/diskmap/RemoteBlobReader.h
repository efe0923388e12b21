// Reads a page blob over HTTPS for the disk mapper: its size, its allocated
// page ranges and byte ranges of its data. The URL is either a SAS URL or a
// plain blob URL read with a bearer token.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class RemoteBlobReader {
public:
    RemoteBlobReader(std::string url, std::string token) : url_(std::move(url)), token_(std::move(token)) {}

    // Size of the blob in bytes.
    bool Size(std::uint64_t& size, std::string& error) const;
    // Allocated ranges as [start, end) byte pairs, sorted.
    bool AllocatedRanges(std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges, std::string& error) const;
    // `length` bytes at `offset` into `out`.
    bool Read(std::uint64_t offset, std::uint64_t length, std::string& out, std::string& error) const;

private:
    std::string url_;
    std::string token_;
};
