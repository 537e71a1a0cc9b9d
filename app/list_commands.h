// What the result list offers beyond the double-click: its context menu, copying the whole list
// and saving it to a text file.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "runtime/text.h"

namespace rh {

// The commands of the list's context menu, as TrackPopupMenu returns them (0: none chosen).
enum class ListCommand : UINT { None = 0, Copy = 1, CopyAll, Save, Open };

// Every item in list order, one per line with CRLF between them; endEveryLine also ends the last
// line (for files). handedOn: each item as an address is handed outside the program
// (AddressToHandOn), so that a line break inside one cannot start a line of its own.
Text ListItemsAsLines(HWND list, bool endEveryLine, bool handedOn = false);

// The context menu with the items that cannot apply greyed: copy and open need a selected item,
// copy all and save a list that is not empty. The caller destroys it.
HMENU MakeResultListMenu(HWND list);

// Shows the menu for the list, owned by `owner`, at a screen point; (-1, -1) (asked for from the
// keyboard) puts it below the selected item, or at the list's corner. The command chosen.
ListCommand ChooseListCommand(HWND owner, HWND list, int x, int y);

// The temporary file that WriteFileReplacing writes at its attempt'th try for `path`: beside it,
// named ~rh<process id>-<attempt>.tmp, in the form that has no length limit ("\\?\…"). That name
// can be longer than the target's, so in a deep folder its ordinary path could pass the limit
// (259 characters) that the target's does not reach.
std::wstring TemporaryPathFor(const std::wstring& path, int attempt);

// Writes the bytes so that the file is always either the old one or the whole new one: a
// temporary file beside it is written and flushed, then renamed over it. 0, or the Windows error
// code of the step that failed (the temporary file is then gone again and the old file as it was).
DWORD WriteFileReplacing(const std::wstring& path, std::string_view bytes);

// The system's description of a Windows error code, for people.
std::wstring ErrorDescription(DWORD error);

// The Save As dialog for a text file, then the list written to it one address per line, each as
// it is handed on (AddressToHandOn), so that the file has one line per item. A file that cannot
// be written is named, with the reason, in a message box. True when it was saved.
bool SaveListAs(HWND owner, HWND list);

}  // namespace rh
