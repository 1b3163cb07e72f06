// The typed classification against the rule core: operations 0, 8, ... (see typed_faults_check.h).
#include "typed_faults_check.h"

QUARVEL_TYPED_FAULTS_SHARE(8, 0)
