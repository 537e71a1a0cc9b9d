#include "app/handlers.h"

namespace rh {

void OnActionButtonClicked() {}

void OnResultListDoubleClicked() {}

void OnResultListMouseMoved(std::int32_t, std::int32_t, std::int32_t) {}

}  // namespace rh
