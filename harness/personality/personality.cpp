// The file is mapped without its imports (DONT_RESOLVE_DLL_REFERENCES),
// checked, and its import address table filled here. A later LoadLibraryW
// of a module mapped that way finds it and runs nothing: Wine marks it in
// the module's loader flags as not bound, and would neither bind it nor run
// its DllMain. With the mark cleared, the LoadLibraryW that follows runs
// DllMain through the loader, which then treats the module as any other
// (its detach, COM's later loads of the same path).
#include "personality/personality.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include <winternl.h>

namespace qvi::personality {
namespace {

// What each of Windows 95's stubs takes off the stack (stdcall) and answers.
// Each sets the last error to ERROR_CALL_NOT_IMPLEMENTED; a registry
// function answers that error too.
struct StubCall {
  const char* key;  // dll!function
  std::uint16_t argument_bytes;
  DWORD failure;
};
constexpr StubCall kStubCalls[] = {
    {"advapi32.dll!RegCreateKeyExW", 36, ERROR_CALL_NOT_IMPLEMENTED},
    {"advapi32.dll!RegDeleteKeyW", 8, ERROR_CALL_NOT_IMPLEMENTED},
    {"advapi32.dll!RegDeleteValueW", 8, ERROR_CALL_NOT_IMPLEMENTED},
    {"advapi32.dll!RegOpenKeyExW", 20, ERROR_CALL_NOT_IMPLEMENTED},
    {"advapi32.dll!RegQueryInfoKeyW", 48, ERROR_CALL_NOT_IMPLEMENTED},
    {"advapi32.dll!RegQueryValueExW", 24, ERROR_CALL_NOT_IMPLEMENTED},
    {"advapi32.dll!RegSetValueExW", 24, ERROR_CALL_NOT_IMPLEMENTED},
    {"kernel32.dll!CreateSemaphoreW", 16, 0},
    {"kernel32.dll!GetHandleInformation", 8, FALSE},
    {"kernel32.dll!GetModuleFileNameW", 12, 0},
    {"kernel32.dll!GetModuleHandleW", 4, 0},
    {"kernel32.dll!LoadLibraryW", 4, 0},
};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string Narrow(const std::wstring& text) {
  std::string narrow(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, narrow.data(), static_cast<int>(narrow.size()), nullptr, nullptr);
  narrow.pop_back();
  return narrow;
}

// What one load was given, for its GetProcAddress. Never freed, nor is its
// code: the module may ask until the process's last moment, after static
// destructors have run.
struct Binding {
  std::set<std::string> dlls;                // those the floor covers
  std::map<std::string, Presence> presence;  // dll!function, as the system has it
  std::map<std::string, FARPROC> stubs;      // dll!function: its failing code
};

// The loaded file's GetProcAddress: a function the system lacks in a DLL
// the floor covers is not found (a stub is, as its failing code); any other
// is the real one. An ordinal is on no floor.
FARPROC WINAPI Answer(const Binding* binding, HMODULE module, LPCSTR name) {
  char path[MAX_PATH];
  const std::string file(path, GetModuleFileNameA(module, path, MAX_PATH));
  const std::string dll = Lower(file.substr(file.find_last_of("\\/") + 1));
  if (binding->dlls.count(dll) == 0) return GetProcAddress(module, name);
  if (!IS_INTRESOURCE(name)) {
    const std::string key = dll + "!" + name;
    const auto found = binding->presence.find(key);
    const Presence presence = found == binding->presence.end() ? Presence::kNo : found->second;
    if (presence == Presence::kYes) return GetProcAddress(module, name);
    if (const auto stub = binding->stubs.find(key); presence == Presence::kStub && stub != binding->stubs.end()) {
      return stub->second;
    }
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

// i686 code, position-independent: it may be built anywhere, then copied.
void Emit(std::vector<std::uint8_t>& code, std::uint8_t op, const void* operand) {
  const auto value = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(operand));
  code.push_back(op);
  for (int shift = 0; shift < 32; shift += 8) code.push_back(static_cast<std::uint8_t>(value >> shift));
}

// A stub: push ERROR_CALL_NOT_IMPLEMENTED; call SetLastError; mov eax, failure; ret argument_bytes.
void EmitStub(std::vector<std::uint8_t>& code, const StubCall& call) {
  Emit(code, 0x68, reinterpret_cast<const void*>(std::uintptr_t{ERROR_CALL_NOT_IMPLEMENTED}));
  Emit(code, 0xB8, reinterpret_cast<const void*>(&SetLastError));
  code.insert(code.end(), {0xFF, 0xD0});
  Emit(code, 0xB8, reinterpret_cast<const void*>(std::uintptr_t{call.failure}));
  code.insert(code.end(), {0xC2, static_cast<std::uint8_t>(call.argument_bytes),
                           static_cast<std::uint8_t>(call.argument_bytes >> 8)});
}

// GetProcAddress(module, name) as Answer(binding, module, name): the binding
// goes in under the return address, and Answer's ret 12 takes all three.
void EmitAnswer(std::vector<std::uint8_t>& code, const Binding* binding) {
  code.push_back(0x58);  // pop eax
  Emit(code, 0x68, binding);
  code.push_back(0x50);  // push eax
  Emit(code, 0xB8, reinterpret_cast<const void*>(&Answer));
  code.insert(code.end(), {0xFF, 0xE0});  // jmp eax
}

std::uint8_t* Executable(const std::vector<std::uint8_t>& code) {
  auto* page = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, code.size(), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (page == nullptr) throw std::runtime_error("no memory for the personality's code");
  std::memcpy(page, code.data(), code.size());
  DWORD old = 0;
  VirtualProtect(page, code.size(), PAGE_EXECUTE_READ, &old);
  FlushInstructionCache(GetCurrentProcess(), page, code.size());
  return page;
}

// The loader's flags of a module: LDR_DATA_TABLE_ENTRY's field after its
// two names, which winternl.h leaves unnamed. Wine marks there a module
// mapped without its imports; every loader, one whose DllMain it has run.
constexpr ULONG kImportsNotBound = 0x40000000;
constexpr ULONG kProcessAttached = 0x00080000;

ULONG* LoaderFlags(HMODULE module) {
  // Asked of ntdll when needed, so that no binary of ours imports it.
  const auto query = reinterpret_cast<decltype(&NtQueryInformationProcess)>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess")));
  PROCESS_BASIC_INFORMATION process{};
  if (query(GetCurrentProcess(), ProcessBasicInformation, &process, sizeof process, nullptr) != 0) return nullptr;
  LIST_ENTRY* modules = &process.PebBaseAddress->Ldr->InMemoryOrderModuleList;
  for (LIST_ENTRY* link = modules->Flink; link != modules; link = link->Flink) {
    auto* entry = CONTAINING_RECORD(link, LDR_DATA_TABLE_ENTRY, InMemoryOrderLinks);
    if (entry->DllBase == module) return reinterpret_cast<ULONG*>(&entry->Reserved5[0]);
  }
  return nullptr;
}

struct Import {
  std::string key;  // dll!function
  IMAGE_THUNK_DATA* slot;
};

// What the system's loader would find wrong with the file's header.
std::vector<std::string> HeaderFaults(System system, const IMAGE_OPTIONAL_HEADER& header) {
  std::vector<std::string> faults;
  const auto above_4 = [&](const char* what, WORD major, WORD minor) {
    if (major > 4 || (major == 4 && minor > 0)) {
      faults.push_back(std::string("its header's ") + what + " version is " + std::to_string(major) + "." +
                       std::to_string(minor) + ", above 4.0");
    }
  };
  above_4("operating system", header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion);
  above_4("subsystem", header.MajorSubsystemVersion, header.MinorSubsystemVersion);
  if (header.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS].Size != 0) {
    faults.push_back(system == System::kWindows95
                         ? "it has a TLS directory, and Windows 95's LoadLibrary fails such a DLL with error 1114 "
                           "(ERROR_DLL_INIT_FAILED)"
                         : "it has a TLS directory, which NT 4.0 does not set up for a DLL that LoadLibrary loads: "
                           "its thread-local data and TLS callbacks would be missing");
  }
  return faults;
}

const StubCall* StubCallOf(const std::string& key) {
  const auto* stub =
      std::find_if(std::begin(kStubCalls), std::end(kStubCalls), [&](const StubCall& call) { return key == call.key; });
  return stub == std::end(kStubCalls) ? nullptr : stub;
}

// The file's imports by name, each fault of one added to `faults`.
std::vector<Import> ReadImports(System system, std::uint8_t* base, const IMAGE_OPTIONAL_HEADER& header,
                                const Binding& binding, std::vector<std::string>& faults) {
  std::vector<Import> imports;
  const IMAGE_DATA_DIRECTORY& directory = header.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
       directory.Size != 0 && d->Name != 0; ++d) {
    const std::string dll = Lower(reinterpret_cast<const char*>(base + d->Name));
    auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
    for (auto* name = reinterpret_cast<const IMAGE_THUNK_DATA*>(
             base + (d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk));
         name->u1.AddressOfData != 0; ++name, ++slot) {
      if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) {
        faults.push_back("it imports " + dll + " by ordinal " + std::to_string(IMAGE_ORDINAL(name->u1.Ordinal)) +
                         ", which is not on the floor");
        continue;
      }
      const std::string key =
          dll + "!" + reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData)->Name;
      const auto found = binding.presence.find(key);
      if (found == binding.presence.end()) {
        faults.push_back("it imports " + key + ", which is not on the floor");
      } else if (found->second == Presence::kNo) {
        faults.push_back("it imports " + key + ", which " + SystemName(system) + " does not export");
      } else if (found->second == Presence::kStub && StubCallOf(key) == nullptr) {
        faults.push_back("it imports " + key + ", which " + SystemName(system) +
                         " only stubs, and this host cannot fail it as the stub does");
      }
      imports.push_back({key, slot});
    }
  }
  return imports;
}

// Makes the failing code of each stub the system has and the file's
// GetProcAddress; returns the latter.
FARPROC MakeCode(Binding& binding) {
  std::vector<std::uint8_t> code;
  std::vector<std::pair<std::string, std::size_t>> stub_code;
  for (const StubCall& call : kStubCalls) {
    if (const auto found = binding.presence.find(call.key);
        found != binding.presence.end() && found->second == Presence::kStub) {
      stub_code.emplace_back(call.key, code.size());
      EmitStub(code, call);
    }
  }
  const std::size_t answer = code.size();
  EmitAnswer(code, &binding);
  std::uint8_t* page = Executable(code);
  for (const auto& [key, offset] : stub_code) binding.stubs[key] = reinterpret_cast<FARPROC>(page + offset);
  return reinterpret_cast<FARPROC>(page + answer);
}

// Fills the import address table: GetProcAddress with `answer`, a stub with
// its failing code, the rest with this Windows's own functions.
void Bind(const std::vector<Import>& imports, const Binding& binding, FARPROC answer, const std::string& file) {
  for (const Import& import : imports) {
    FARPROC target = nullptr;
    const std::size_t bang = import.key.find('!');
    if (import.key == "kernel32.dll!GetProcAddress") {
      target = answer;
    } else if (const auto stub = binding.stubs.find(import.key); stub != binding.stubs.end()) {
      target = stub->second;
    } else if (const HMODULE dll = LoadLibraryA(import.key.substr(0, bang).c_str())) {
      target = GetProcAddress(dll, import.key.c_str() + bang + 1);
    }
    if (target == nullptr)
      throw std::runtime_error("this Windows has no " + import.key + ", which " + file + " imports");
    DWORD old = 0;
    VirtualProtect(import.slot, sizeof *import.slot, PAGE_READWRITE, &old);
    import.slot->u1.Function = reinterpret_cast<std::uintptr_t>(target);
    VirtualProtect(import.slot, sizeof *import.slot, old, &old);
  }
}

// Runs the DllMain of the module mapped from `path` through the loader.
HMODULE Attach(HMODULE mapped, const std::wstring& path, const std::string& file, System system) {
  ULONG* const flags = LoaderFlags(mapped);
  if (flags == nullptr) throw std::runtime_error("the loader does not list " + file + " as mapped");
  *flags &= ~kImportsNotBound;
  const HMODULE loaded = LoadLibraryW(path.c_str());
  if (loaded == nullptr) {
    throw std::runtime_error(file + " failed to initialise under " + SystemName(system) + ": error " +
                             std::to_string(GetLastError()));
  }
  if (loaded != mapped || (*flags & kProcessAttached) == 0) {
    FreeLibrary(loaded);
    throw std::runtime_error("the loader did not run the DllMain of " + file + " as mapped");
  }
  return loaded;
}

}  // namespace

std::optional<System> SystemNamed(std::string_view name) {
  if (name == "win95") return System::kWindows95;
  if (name == "nt40") return System::kWindowsNT40;
  return std::nullopt;
}

const char* SystemName(System system) { return system == System::kWindows95 ? "Windows 95" : "Windows NT 4.0"; }

HMODULE LoadAs(System system, const std::wstring& path, const Floor& floor) {
  const std::string file = Narrow(path);
  const std::string refusal = std::string(SystemName(system)) + " would not load " + file + ": ";
  if (sizeof(void*) != 4) throw Refused(refusal + "it runs 32-bit code only, and this host is 64-bit");
  if (GetModuleHandleW(path.c_str()) != nullptr) {
    throw std::runtime_error(file + " is loaded already, its imports bound by this Windows");
  }
  const std::unique_ptr<std::remove_pointer_t<HMODULE>, decltype(&FreeLibrary)> mapped(
      LoadLibraryExW(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES), &FreeLibrary);
  if (!mapped) throw std::runtime_error("cannot map " + file + ": error " + std::to_string(GetLastError()));
  auto* base = reinterpret_cast<std::uint8_t*>(mapped.get());
  const IMAGE_OPTIONAL_HEADER& header =
      reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew)->OptionalHeader;

  auto binding = std::make_unique<Binding>();
  for (const FloorEntry& entry : floor) {
    binding->dlls.insert(entry.dll);
    binding->presence[entry.dll + "!" + entry.function] = system == System::kWindows95 ? entry.windows95 : entry.nt40;
  }
  std::vector<std::string> faults = HeaderFaults(system, header);
  const std::vector<Import> imports = ReadImports(system, base, header, *binding, faults);
  if (!faults.empty()) {
    std::string text = refusal;
    for (std::size_t i = 0; i < faults.size(); ++i) text += (i == 0 ? "" : "; ") + faults[i];
    throw Refused(text);
  }
  Bind(imports, *binding, MakeCode(*binding), file);
  const HMODULE loaded = Attach(mapped.get(), path, file, system);
  binding.release();  // the module's for good (Binding)
  return loaded;      // the mapping's own reference goes with `mapped`
}

}  // namespace qvi::personality
