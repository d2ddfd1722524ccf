// SPDX-License-Identifier: MIT
#pragma once

class QAbstractButton;

namespace quenlark {

// The roles assistive technology should hear where Qt's own guess is wrong: a line drawn between
// rows is a separator, not an empty frame; a button that opens a web page is a link, pressed
// like a button.
namespace AccessibleRoles {

// Registers the roles with Qt's accessibility; once per process, later calls do nothing.
void install();
void markAsLink(QAbstractButton* button);

} // namespace AccessibleRoles

} // namespace quenlark
