// SPDX-License-Identifier: MIT
#pragma once

namespace quenlark::XEmbedTray {

// Whether an X11 system tray (the XEmbed kind) runs on this display: false on any other
// platform. Asked directly of the X server, because asking Qt would also settle Qt's one-time
// view of the StatusNotifierItem tray.
bool isPresent();

} // namespace quenlark::XEmbedTray
