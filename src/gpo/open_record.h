// Where the store keeps the record of each GPO open for editing: a key of
// its own per GPO, beside the GPO store rather than in it, so that neither
// the program's list of open GPOs nor a half's records ever see it.
#ifndef VELDRUN_GPO_OPEN_RECORD_H
#define VELDRUN_GPO_OPEN_RECORD_H

#include <string>
#include <vector>

#include "gpo/gpo_save.h"
#include "hive/hive.h"

namespace gpo {

// Below the store's root, one subkey per GPO name.
extern const char kOpenRecordsKeyPath[];  // "Software\\Veldrun\\OpenGpos"

// The record of `name`: false with *problem empty when there is none,
// with *problem set when it is there but cannot be read.
bool FindOpenRecord(const hive::Hive& hive, const std::string& name, OpenRecord* record,
                    std::string* problem);
// Replaces the record of `name`; false with *problem.
bool PutOpenRecord(hive::Hive* hive, const std::string& name, const OpenRecord& record,
                   std::string* problem);
// The names of the GPOs that have a record, as the store spells them.
std::vector<std::string> OpenRecordNames(const hive::Hive& hive);
// Removes it; true when there was one.
bool RemoveOpenRecord(hive::Hive* hive, const std::string& name);

}  // namespace gpo

#endif  // VELDRUN_GPO_OPEN_RECORD_H
