// What the result list does with an address outside the program: the clipboard, the shell and
// the tooltip that shows the selected address.
#pragma once

#include <windows.h>

#include "runtime/text.h"

namespace rh {

// Places the text (up to its first zero byte) on the clipboard as CF_TEXT, replacing what the
// clipboard held. True when the clipboard took the text. When another program holds the
// clipboard open, nothing is changed and the result is false.
bool SetClipboardText(TextView text);

// The address from its scheme on, when it is a web address (scheme http or https, any letter
// case); leading spaces and control characters are skipped, as a browser skips them. Empty for
// anything else: file and UNC paths, other schemes, the empty text.
TextView WebAddressPart(TextView text);

// Asks the shell to "open" a web address, with the window titled "Microsoft Internet Explorer"
// (when there is one) as the owner. Anything that is not a web address (see WebAddressPart) is
// not handed to the shell: a page must not be able to make the program run a local program. Nor
// is an address longer than a browser takes (2083 bytes).
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
