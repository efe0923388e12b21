// Lists the entries of a folder one by one.
//
// Open() takes a snapshot of the entry names matching a wildcard (`*` any
// run, `?` one character, case-sensitive) in name order; Next() then returns
// them, looking each entry up as it goes, so an entry removed in between is
// reported as an error.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct SKaDirEntry {
    std::string name;  // file name only
    std::string path;  // folder and name joined with '/'
    bool isDirectory = false;
};

class CKaDirectory {
public:
    // False, with the error text, when `path` cannot be listed.
    bool Open(const std::string& path, const std::string& pattern = "*", std::string* error = nullptr);
    // The next entry. False at the end (`error` cleared) or on an error (`error` set).
    bool Next(SKaDirEntry& entry, std::string* error = nullptr);
    void Close();

private:
    std::string path_;
    std::vector<std::string> names_;
    std::size_t next_ = 0;
};
