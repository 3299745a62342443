//===- common/template.h - The variables of path templates ---------------===//
//
// A path template is literal text with variables written as a name in
// braces: "{TEMP}\onefile_{PID}_{TIME}". The launcher expands templates
// (paths/expand.cpp); the packer checks one before it stores it as a
// launcher's unpack-directory template. Both take the variables' names from
// here, matched whole, ASCII letters in any case.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "common/text.h"

enum TemplateVariable {
  kVariableUnknown,
  kVariableTemp,
  kVariableProgram,
  kVariableProgramBase,
  kVariablePid,
  kVariableHome,
  kVariableCacheDir,
  kVariableCompany,
  kVariableProduct,
  kVariableVersion,
  kVariableTime,
};

// The variable `length` units at `name` name, or kVariableUnknown.
TemplateVariable LookUpTemplateVariable(const Utf16Unit *name, size_t length);

// The built-in unpack-directory template: a fresh directory per run in
// TEMP.
#define VESKAR_UNPACK_TEMPLATE_TEXT "{TEMP}\\onefile_{PID}_{TIME}"

enum UnpackTemplateProblem {
  kUnpackTemplateAllowed = 0,
  kUnpackTemplateEmpty,
  kUnpackTemplateTooLong,    // longer than the build values can carry
  kUnpackTemplateUnbalanced, // a "{" without its "}", or a "}" alone
  kUnpackTemplateUnknown,    // a name that is no variable
  kUnpackTemplateNotPerRun,  // per run, without both {PID} and {TIME}
  kUnpackTemplateNotShared,  // a cache, with {PID} or {TIME}
};

// What the template names: a fresh directory for each run, or the cache
// directory that runs share.
enum UnpackTemplateUse { kTemplatePerRun, kTemplateCache };

// Whether `length` units at `pathTemplate` may serve as an unpack-directory
// template of the given use: every brace paired, every name a variable, no
// longer than `maxUnits`; per run, with {PID} and {TIME}, so that each run
// gets a directory of its own; for a cache, with neither, so that every
// run finds the same directory.
UnpackTemplateProblem CheckUnpackTemplate(const Utf16Unit *pathTemplate,
                                          size_t length, size_t maxUnits,
                                          UnpackTemplateUse use);
