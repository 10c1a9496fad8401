#pragma once

namespace zov {

class AppServer;
struct ImportReport;

// Asks the server what became of the batches of `report` whose answer never came (the
// server keeps the answer of every batch it stored, by the batch's id, and from then
// on refuses one it had not stored) and writes the truth into the report: stored, or
// not stored with the reason. Returns how many days and diets are still unknown.
// Throws zov::Error when the server cannot be asked now.
int askAboutBatches(AppServer &server, ImportReport &report);

} // namespace zov
