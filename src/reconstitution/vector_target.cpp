#include "reconstitution/vector_target.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "reconstitution/vector_target.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace HWY_NAMESPACE {
namespace {

int64_t CompiledTarget() { return HWY_TARGET; }

}  // namespace
}  // namespace HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
HWY_EXPORT(CompiledTarget);

std::string VectorTarget_Name() { return VectorTarget_NameOf(HWY_DYNAMIC_DISPATCH(CompiledTarget)()); }

std::vector<int64_t> VectorTarget_Available() { return hwy::SupportedAndGeneratedTargets(); }

std::string VectorTarget_NameOf(int64_t target) { return hwy::TargetName(target); }
#endif  // HWY_ONCE
