#pragma once
// What the stand-in browser was asked to do, for tests to read back.
//
// When the environment variable REELHAWK_STANDIN_LOG names a file, every call into the stand-in
// appends one line to it and closes the file again, so a reader sees each line as soon as the call
// has returned. Lines are UTF-8, end with "\n", and are a word followed by space-separated fields:
//
//   Create                                    the browser object was made
//   SetClientSite <set|null>                  IOleObject::SetClientSite
//   DoVerb <verb>                             IOleObject::DoVerb (e.g. -5 in-place activate, -1
//   show) SetObjectRects <left> <top> <right> <bottom> InPlaceDeactivate | Close | Destroy end of
//   activation / Close / last reference released put_Offline <0|-1>   put_Silent <0|-1>    the
//   VARIANT_BOOL passed ExecWB <cmd> <option> <argument>          argument: VT_I4:2, VT_BSTR:text,
//   VT_EMPTY or null Navigate <url> flags=<n>[ target=<t>][ postdata=<bytes>][ headers=<h>]
//   Navigate2 <url> flags=<n>[ ...]           as Navigate
//   <member> E_NOTIMPL                        any other IWebBrowser2 member that was called
//   Loaded <url>                              a page became the shown document
//   NotFound <url>                            a page could not be loaded; the old one stays
//   Value <tag>[ type=<t>][ name=<n>][ id=<i>] <value>     an element's "value" was written
//   Click <tag>[ type=<t>][ name=<n>][ id=<i>]             an element's "click" was called
//   Submit <url>                              that click submitted a form (GET) to this address
//   Link <url>                                that click followed a link to this address
//   Advise | Unadvise DWebBrowserEvents2      a host connected to / left the events
//   Event <member>[ <url>]                    a DWebBrowserEvents2 member fired at connected hosts
//   Held <url>                                the page waits while REELHAWK_STANDIN_HOLD_FILE
//   exists
//
// Values and addresses are written as they are, with "\" "\r" "\n" "\t" escaped as \\ \r \n \t.

#include <string>
#include <string_view>

namespace standin {

void LogLine(std::wstring_view line);
std::wstring LogEscape(std::wstring_view text);

}  // namespace standin
