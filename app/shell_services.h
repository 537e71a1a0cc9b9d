// What the result list does with an address outside the program: the clipboard, the shell and
// the tooltip that shows the selected address.
#pragma once

#include <windows.h>

#include "runtime/automation_convert.h"
#include "runtime/text.h"

namespace rh {

// Places the text (up to its first zero byte) on the clipboard, replacing what the clipboard held:
// as CF_TEXT byte for byte and as CF_UNICODETEXT converted from the program's code page, so that
// a Unicode program pastes the same text whatever keyboard layout is active. The clipboard is
// opened for `owner` (the program's main window), which then owns it. True when the clipboard
// took the text. When another program holds the clipboard open, nothing is changed and the
// result is false.
bool SetClipboardText(HWND owner, TextView text);

// An address as it is handed on (to the clipboard, to the shell): ASCII tab, CR and LF dropped
// wherever they stand, as a browser's address parser drops them. A list box does not show them,
// so they would otherwise reach a console or a command line unseen.
Text AddressToHandOn(TextView address);

// The address from its scheme on, when it is a web address (scheme http or https, any letter
// case); leading spaces and control characters are skipped, as a browser skips them. Empty for
// anything else: file and UNC paths, other schemes, the empty text.
TextView WebAddressPart(TextView text);

// What the shell is given for a text: its web address part (see WebAddressPart) handed on (see
// AddressToHandOn), without the spaces and control characters at its end, with "\" as "/" before
// the query and fragment (as a browser's parser reads it there) and every other character that
// cannot stand in an address as it is percent-encoded the way a browser encodes a typed address
// (other control characters, space, " < > \ ^ ` { | }). Other characters, double-byte ones
// included, stay. A quote or space therefore cannot end the address in the command line the
// shell builds for the browser. Empty when the text is not a web address, and when the address is
// longer than a browser takes (2083 characters).
WideText ShellAddress(TextView text);

// Asks the shell to "open" the ShellAddress of the text, with the window titled "Microsoft
// Internet Explorer" (when there is one) as the owner. Nothing is handed to the shell when that
// is empty: a page must not be able to make the program run a local program.
// True when the shell was asked; what it made of the request is not looked at.
bool OpenWithShell(TextView text);

// Shows the text as the tip of a window, through one tooltip window shared by the whole program
// and created on the first call (its style, balloon or not, is fixed by that call). The first
// call for a window registers it as a tool; later calls for the same window only replace the
// tip's text. Returns the result of the last message sent to the tooltip window; 0 when the
// window handle is 0 or the tooltip window cannot be created (tried again on the next call).
LRESULT SetWindowTooltip(HWND window, TextView text, bool balloon, bool centred);

// The shared tooltip window, 0 before the first successful SetWindowTooltip.
HWND SharedTooltipWindow();

}  // namespace rh
