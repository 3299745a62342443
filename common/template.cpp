//===- common/template.cpp - The variables of path templates -------------===//
#include "common/template.h"

namespace {

struct VariableName {
  const char *name;
  TemplateVariable variable;
};

const VariableName kVariables[] = {
    {"TEMP", kVariableTemp},
    {"PROGRAM", kVariableProgram},
    {"PROGRAM_BASE", kVariableProgramBase},
    {"PID", kVariablePid},
    {"HOME", kVariableHome},
    {"CACHE_DIR", kVariableCacheDir},
    {"COMPANY", kVariableCompany},
    {"PRODUCT", kVariableProduct},
    {"VERSION", kVariableVersion},
    {"TIME", kVariableTime},
};

} // namespace

TemplateVariable LookUpTemplateVariable(const Utf16Unit *name, size_t length) {
  for (const VariableName &entry : kVariables) {
    size_t i = 0;
    while (i < length && entry.name[i] != 0 &&
           AsciiUpper(name[i]) == (Utf16Unit)entry.name[i])
      ++i;
    if (i == length && entry.name[i] == 0)
      return entry.variable;
  }
  return kVariableUnknown;
}

UnpackTemplateProblem CheckUnpackTemplate(const Utf16Unit *pathTemplate,
                                          size_t length, size_t maxUnits,
                                          UnpackTemplateUse use) {
  if (length == 0)
    return kUnpackTemplateEmpty;
  if (length > maxUnits)
    return kUnpackTemplateTooLong;
  bool pid = false, time = false;
  for (size_t i = 0; i < length; ++i) {
    if (pathTemplate[i] == '}')
      return kUnpackTemplateUnbalanced;
    if (pathTemplate[i] != '{')
      continue;
    size_t start = i + 1, end = start;
    while (end < length && pathTemplate[end] != '}' && pathTemplate[end] != '{')
      ++end;
    if (end == length || pathTemplate[end] != '}')
      return kUnpackTemplateUnbalanced;
    TemplateVariable variable =
        LookUpTemplateVariable(pathTemplate + start, end - start);
    if (variable == kVariableUnknown)
      return kUnpackTemplateUnknown;
    pid = pid || variable == kVariablePid;
    time = time || variable == kVariableTime;
    i = end;
  }
  if (use == kTemplateCache)
    return pid || time ? kUnpackTemplateNotShared : kUnpackTemplateAllowed;
  return pid && time ? kUnpackTemplateAllowed : kUnpackTemplateNotPerRun;
}
