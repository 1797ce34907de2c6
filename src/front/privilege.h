// The tool's own token: the debug privilege it enables for itself, and what
// the JSON layout reports of the rights the scan ran with.
#ifndef MURKSCOPE_PRIVILEGE_H
#define MURKSCOPE_PRIVILEGE_H

void EnableDebugPrivilege(void);
// Each answers 1 when the token could be asked, with the answer in *value.
int QueryOwnElevation(int* elevated);
int QueryOwnDebugPrivilege(int* enabled);

struct RUN_FACTS;
// The tool's version and the answers above, for the scan object.
void ReadRunFacts(struct RUN_FACTS* facts);

#endif
