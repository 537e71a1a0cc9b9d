#pragma once
// Addresses as the stand-in browser sees them: resolving a link against its page, form encoding,
// and where a page of the local web lives on disk.

#include <string>
#include <string_view>

namespace standin {

struct UrlParts {
    std::wstring scheme;  // lower-case, without ':'; empty for a relative reference
    std::wstring authority;
    std::wstring path;
    std::wstring query;     // without '?'
    std::wstring fragment;  // without '#'
    bool hasAuthority = false;
    bool hasQuery = false;
    bool hasFragment = false;
};

UrlParts SplitUrl(std::wstring_view url);
std::wstring JoinUrl(const UrlParts& parts);

// A reference resolved against a base address, with "." and ".." segments removed.
std::wstring ResolveUrl(std::wstring_view base, std::wstring_view reference);

// The address a user typed, as the browser keeps it: a plain file path becomes a file: address,
// an http(s) host is lower-cased and an empty path becomes "/".
std::wstring NormalizeAddress(std::wstring_view address);

// application/x-www-form-urlencoded, with the text as UTF-8.
std::wstring FormEncode(std::wstring_view text);
// %XX sequences decoded as UTF-8 ('+' is left alone).
std::wstring PercentDecode(std::wstring_view text);

// The host of an address's authority, lower-case, without user or port.
std::wstring HostOf(std::wstring_view authority);

// Where the file of a page lives. file: addresses name the file directly; http(s) addresses are
// mapped into the local web folder as <webRoot>\<host>\<path>, a path ending in '/' meaning its
// index.html. The query and fragment never take part. Returns false for any other scheme, and
// for a path that would leave the web folder.
bool AddressToFile(std::wstring_view address, std::wstring_view webRoot, std::wstring& file);

// The whole of a page's file; false when it cannot be read or is larger than 16 MiB (a guard
// against reading a huge file by mistake).
bool ReadPageFile(const std::wstring& path, std::string& bytes);

// An environment variable's value; empty when it is not set.
std::wstring EnvironmentValue(const wchar_t* name);

// A folder or file name as given by the environment (a Unix path under Wine) turned into a path
// the Windows file functions accept.
std::wstring HostPathToWindows(std::wstring_view path);

}  // namespace standin
