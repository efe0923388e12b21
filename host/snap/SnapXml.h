// XML form of the snap records and of the VM records a job's snap metadata
// holds, and atomic loading and saving of those files. Whatever is read back
// is checked: a missing or malformed attribute fails with its name.
#pragma once

#include <string>

#include <pugixml.hpp>

#include "host/snap/SnapRecords.h"

namespace snapxml {

// Loads path; false with a reason when it is missing or not well-formed XML.
bool Load(const std::string& path, pugi::xml_document& doc, std::string& error);
// Writes doc to a new file beside path (creating path's folder) and renames it over path, so readers
// never see half a file.
bool SaveAtomically(const pugi::xml_document& doc, const std::string& path, std::string& error);

void WriteVm(pugi::xml_node vmNode, const VMInfoStructs::SVMInfo& vm);
bool ReadVm(const pugi::xml_node& vmNode, VMInfoStructs::SVMInfo& vm, std::string& error);

void WriteVolSnapInfo(pugi::xml_node node, const SMVolSnapInfo& info);
bool ReadVolSnapInfo(const pugi::xml_node& node, SMVolSnapInfo& info, std::string& error);

}  // namespace snapxml
