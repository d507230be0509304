// A software stand-in for the TPM behind sealing::KeyService, for fuzzing the unseal input path.
// Its blob is a real key file, read by the tool's own parser, whose public area holds the key's
// point and whose private area holds the scalar in clear; restoring refuses a scalar that does not
// give the point, as a TPM refuses a private part that does not match its public part.
#pragma once

#include "sealing/key_service.h"

namespace fuzzing {

const sealing::KeyService& softwareKeyService();

}  // namespace fuzzing
