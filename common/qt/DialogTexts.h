#pragma once
// Language texts for Qt dialogs. Every widget that stands for a control of a
// dialog template carries its control id as the dynamic property "controlId"
// (an int; -1 and 65535 both mean the shared id of unnamed labels).
#include <string>

class QWidget;

namespace korva {

class CLanguageFile;

// Sets the window title from "IDD<template>_Title" and the text of each direct
// child of the dialog, in creation order, from "IDD<template>_<controlId>":
// QGroupBox titles, QLabel / QAbstractButton / QLineEdit texts, an editable
// QComboBox's edit text, else a writable "text" property. Children without
// "controlId" are left alone. Returns the caption text (empty when absent).
std::string ApplyDialogTexts(const CLanguageFile& language, QWidget* dialog, int templateId);

}  // namespace korva
