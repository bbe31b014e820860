#include "user_interaction.h"

#include <exception>
#include <new>

namespace tovaly {

namespace {

// Codes of failures that are not a CommandFailure, in the numbering the
// warning shows.
constexpr int kOutOfMemory = 7;
constexpr int kInternalError = 51;

} // namespace

QString CurrentFailureText()
{
    try {
        throw;
    } catch (const CommandFailure &failure) {
        return QString::number(failure.Code()) + QLatin1Char(':') + failure.Description();
    } catch (const std::bad_alloc &) {
        return QString::number(kOutOfMemory) + QStringLiteral(":Out of memory");
    } catch (const std::exception &failure) {
        return QString::number(kInternalError) + QLatin1Char(':') + QString::fromLocal8Bit(failure.what());
    } catch (...) {
        return QString::number(kInternalError) + QStringLiteral(":Unknown failure");
    }
}

} // namespace tovaly
