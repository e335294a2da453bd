// The string table: texts the code loads by number.
#pragma once

#include <QString>

// Empty for a number the table does not hold.
QString loadResourceString(int id);
