// The typed classification against the rule core: operations 6, 14, ... (see typed_faults_check.h).
#include "typed_faults_check.h"

QUARVEL_TYPED_FAULTS_SHARE(8, 6)
