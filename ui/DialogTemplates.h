// The program's two dialog templates.
#pragma once

#include "ui/DialogTemplate.h"

const DialogTemplate& updateDialogTemplate(); // 102, "Zentavo software update"
const DialogTemplate& aboutDialogTemplate();  // 100, "About ZentavoDiag"
