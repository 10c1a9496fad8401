#pragma once

namespace zov {

class CommandLine;

// The host's hooks for the documentation and for tests that drive the screen from
// outside, as xdotool does; none of them runs unless asked for:
// - --screenshot FILE [--from D --to D]: fills the range "De".."Até", moves the focus
//   into the grid so that the preview loads, saves a picture of the screen in FILE,
//   then runs "Simular" and saves the report beside it (FILE-report.png) and closes both;
// - ZOV_HOST_WIDGET_MAP=FILE: once the screen (or the start window) is shown, FILE
//   names its widgets with the centre of each on the display, one "objectName x y" a
//   line (the date edits' parts also as "depCardOrigAte.edit").
// They live as long as the application.
void installHostHooks(const CommandLine &options);

} // namespace zov
