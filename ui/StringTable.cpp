#include "ui/StringTable.h"

#include "ui/ResourceIds.h"

namespace {

struct StringEntry {
    int id;
    const char* text;
};

constexpr StringEntry kStrings[] = {
    {IDS_ABOUTBOX, "&About ZentavoDiag..."},
};

} // namespace

QString loadResourceString(int id) {
    for (const StringEntry& entry : kStrings) {
        if (entry.id == id)
            return QString::fromLatin1(entry.text);
    }
    return {};
}
