// The upload commands of the main dialog: "Update", "Upd. All" and the two
// serial-port boxes. The dialog calls these; the job itself lives apart.
#include "UpdateDialog.h"

// Dialog start, step 1: the job's process-wide progress bar is bound here.
void UpdateDialog::bindUploadControls() {}

void UpdateDialog::onUpdate() {}

void UpdateDialog::onUpdateAll() {}

void UpdateDialog::onUseCom1() {}

void UpdateDialog::onUseCom2() {}
