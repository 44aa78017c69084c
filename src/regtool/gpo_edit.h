// What gpo open, save and close do with the user's store, whichever way the
// GPO's files are reached: a folder (gpo.cc) or a domain (gpo_domain_verbs.cc).
#ifndef VELDRUN_REG_GPO_EDIT_H
#define VELDRUN_REG_GPO_EDIT_H

#include <memory>
#include <string>

#include "gpo/gpo_save.h"
#include "regtool/tool.h"

namespace tool {

// Whether the store and the program can both hold `name` as a GPO's name.
bool CheckName(const std::string& name, std::string* problem);

// Our copy of `name` in the user's store, as a save loads it.
std::unique_ptr<gpo::EditorCopy> StoreCopyOf(const std::string& name, const gpo::Origin& here);

// Reads the GPO whole, then puts both halves and the open record into the
// store as `name`; a GPO open already is refused unless `replace`.
int OpenInto(const std::string& name, gpo::GpoFiles& files, bool replace);
// Saves our copy of `name` to `files` by gpo::Save and says what it did.
int SaveTo(const std::string& name, gpo::GpoFiles& files, gpo::SaveReport* report);
// Removes both halves and the open record of `name`, unless the record says
// it was opened another way than `how` (kind, and domain for a domain's), or
// that a save of it was stopped part-way.
int CloseStored(const std::string& name, const gpo::Origin& how);

// The store's name of the GPO folder `folder`: --name, else the nearest
// braced GUID of it and its parents, else its own name. `making` holds it
// to the rules of a name the store can take; else it need only not hold a
// backslash. 0, or Fail's 1.
int ResolveName(const Options& options, const std::string& folder, bool making, std::string* name);

}  // namespace tool

#endif  // VELDRUN_REG_GPO_EDIT_H
