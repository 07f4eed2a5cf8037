// The backup and restore runs: each start function checks its job, starts the job's worker and
// waits for it in the front end's progress view; the worker tells the user the outcome through
// the front end's message box. Both return when the run is over (or at once after a refusal).
#pragma once

namespace larkpost {

struct BackupJob;
struct RestoreJob;

void StartBackup(BackupJob& job);
void StartRestore(RestoreJob& job);

// The worker procedures; they return 1 on every way out.
unsigned BackupThread(BackupJob* job);
unsigned RestoreThread(RestoreJob* job);

}  // namespace larkpost
