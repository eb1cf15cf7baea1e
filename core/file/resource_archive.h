#pragma once
// The library's resources: a zip archive carried in the non-loaded ".zip"
// section of the library's own file (wherever stripping moved it), or in a
// sidecar file beside it with the extension ".dat", which takes precedence.
// Resources are looked up by the locale preference list, falling back to the
// untranslated member.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "core/common/ustring.h"
#include "core/file/zipfile.h"

namespace Common {

// The sidecar of a module: its extension (from the last "." after the last
// "/") replaced by ".dat", or ".dat" appended when there is none.
UString SidecarPath(const UString& module_path);

// Opens the resource archive of a module: the sidecar when it opens, else the
// module file itself. Null when neither opens; an archive that opens but cannot
// be read is returned with its error (IsLoaded() false).
std::unique_ptr<zip_file_impl> OpenResourceArchive(const UString& module_path);

// Reads a member of the process's resource archive whole into a buffer from
// malloc (the caller frees it). Null when the archive or the member is missing
// or a read fails.
void* ReadResource(const char* name, size_t* size);

// ReadResource on a given archive and locale preference list: for each locale
// in order, "<locale>/<name>" ("en" meaning the plain name, empty names
// skipped), then the plain name.
void* ReadLocalizedResource(zip_file_impl& archive, const char* name, const std::vector<std::string>& locales,
                            size_t* size);

// The member that answers a data request of the character-conversion library:
// "./icudt38l/<item>" -> "<item>" and "./icudt38l.dat" -> "icudt38l.dat", with
// every "/" replaced by "_". False for any other path.
bool ConversionDataMember(const char* path, std::string& member);

// Answers a data request of the character-conversion library from a resource
// archive: the mapped member read with the locale lookup, rejected when shorter
// than 24 bytes. Null (nothing served) otherwise; the caller frees the result.
// The library ships no such members, so the system's own data stays in use.
void* ReadConversionData(const char* path, size_t* size);
void* ReadConversionDataFrom(zip_file_impl& archive, const char* path, const std::vector<std::string>& locales,
                             size_t* size);

}  // namespace Common
