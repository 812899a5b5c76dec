/// @file
/// Per-thread last error, the process-wide error-message table and the assertion reporter.
///
/// Failing operations of the library return a plain result (false, -1, null) and leave a code in
/// the calling thread's last-error slot. Codes are plain integers; their texts live in one
/// process-wide table that modules fill once (at start-up or on first use) and callers read.
#ifndef INFRA_ERROR_H
#define INFRA_ERROR_H

#include "infra/Assert.h"
#include "infra/Defs.h"
#include "infra/FlexString.h"

namespace Tovix {
namespace Infra {

/// Stores `code` as the calling thread's last error.
INFRA_API void setLastError(int code);

/// The calling thread's last error; 0 when this thread never stored one.
INFRA_API int getLastError();

/// Stores a copy of `message` as the text of `code`, replacing an earlier text. A null
/// `message` stores the empty text.
INFRA_API void setErrMsg(int code, const char* message);

/// The stored text of `code`, or "" when the code has no entry. The pointer stays valid until
/// the text of the same code is set again, so register texts once and only read them afterwards.
INFRA_API const char* getErrMsg(int code);

/// Same as setErrMsg(code, message.c_str()).
INFRA_API void setErrorMessage(int code, const flex_string& message);

/// A copy of getErrMsg(code).
INFRA_API flex_string getErrorMessage(int code);

/// The tag stored by the last call through a tagged callable (see Function.h) on the calling
/// thread; 0 when none was made.
INFRA_API unsigned int getCurrentFunctionReuse();

namespace Detail {

/// Stores `tag` as the calling thread's current-function-reuse tag (called by tagged callables).
INFRA_API void setCurrentFunctionReuse(unsigned int tag);

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_ERROR_H
