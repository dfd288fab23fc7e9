// Registry text files: what regedit imports and exports.
//
// Reading accepts "REGEDIT4" and "Windows Registry Editor Version 5.00"
// files, in the ANSI code page or as UTF-16LE with a byte-order mark (turned
// into code page 1252; a character the code page lacks is an error). CRLF,
// LF and CR line ends, "\" continuation lines, ";" comment lines, [KEY] and
// [-KEY] sections, "name"=, @=, "text", dword:, hex: and hex(N): data, and
// "name"=- value deletions. HKEY_CLASSES_ROOT sections land in
// HKEY_LOCAL_MACHINE\SOFTWARE\Classes. In a version 5.00 file the data of
// hex(1), hex(2) and hex(7) is UTF-16LE and is turned into the code page too.
//
// Writing produces REGEDIT4 with CRLF line ends. A REG_SZ is written as text
// only when its bytes are exactly the text and one NUL; anything else goes
// out as hex(1): so that every value reads back byte for byte.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "emu/emu_types.h"
#include "emu/registry_store.h"

namespace qvi::emu {

// Parses the whole text first and changes the store only when it parsed.
// Throws MachineError "source_name:line: message".
void ImportRegText(RegistryStore& store, std::string_view text, const std::string& source_name);
// The same for a text read a piece at a time: `more` appends the next piece
// to the string it is given and returns false once there is none. A text
// read into an empty store is never held whole, in the code page or in
// UTF-16 (converted a piece at a time).
void ImportRegText(RegistryStore& store, const std::function<bool(std::string&)>& more,
                   const std::string& source_name);

std::string ExportRegText(const std::vector<RegistryKey>& keys);
// The whole store, written straight from its tree (no copy of it first).
std::string ExportRegText(const RegistryStore& store);
// The same text in pieces, for writing a large store without holding its
// text whole.
void ExportRegText(const RegistryStore& store, const std::function<void(std::string_view)>& put);

// One value as a .reg file holds it, without the line end: "name"="text",
// @=dword:00000001, "name"=hex(N):..., long data broken into "\" continuation
// lines ended by `eol`. Every value reads back byte for byte.
std::string RegValueText(const RegistryValue& value, std::string_view eol = "\r\n");
// A value deletion: "name"=- (or @=- for the default value).
std::string RegValueDeletionText(std::string_view name);

}  // namespace qvi::emu
