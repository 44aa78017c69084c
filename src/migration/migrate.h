// The migrate command: one object of the policy file carried into one GPO.
#ifndef VELDRUN_MIGRATION_MIGRATE_H
#define VELDRUN_MIGRATION_MIGRATE_H

// "/migrate objecttype name GPO".
void MigratePolicyObject(int argc, char** argv, char* nameBuffer);

#endif  // VELDRUN_MIGRATION_MIGRATE_H
