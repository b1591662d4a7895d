#include "ParamPages.h"

#include <QComboBox>
#include <QLineEdit>

namespace korva::ui {

// --- Base Parameters ---

CProBaseParam::CProBaseParam(CKORVAKT3002Ctrl* control, int axis, QWidget* parent)
    : CParamPage(control, kTemplate, axis, parent) {
    // The lists are sorted, so each index is the controller's value.
    m_pStepAngle = AddEdit(208, "Step Angle");
    m_pStageStyle =
        AddList(210, "StageStyle", {QStringLiteral("Moving"), QStringLiteral("Rotate")});
    m_pPitch = AddEdit(212, "StagePitch");
    m_pMicroStep = AddEdit(214, "MicroStep");
    m_pDriveRat = AddEdit(216, "DriveRat");
    m_pRadius = AddEdit(218, "Radius");
    m_pDistance = AddEdit(220, "Distance");
    m_pWorkState =
        AddList(222, "workstate", {QStringLiteral("close loop"), QStringLiteral("open loop")});
    FinishPage(223, "Reload", 224, "Update");
}

bool CProBaseParam::ReloadGroup(std::int16_t axis) {
    return m_pControl->ReloadBasicParam(axis);
}

bool CProBaseParam::ReadFieldsAndWrite(std::int16_t axis, bool* sent) {
    float stepAngle = 0, pitch = 0, distance = 0;
    std::int32_t microStep = 0, driveRat = 0, radius = 0;
    if (!ReadFloat(m_pStepAngle, stepAngle) || !ReadFloat(m_pPitch, pitch) ||
        !ReadInt(m_pMicroStep, microStep) || !ReadInt(m_pDriveRat, driveRat) ||
        !ReadInt(m_pRadius, radius) || !ReadFloat(m_pDistance, distance)) {
        return false;
    }
    *sent = true;
    return m_pControl->SetBaseParam(axis, ListIndex(m_pStageStyle), ListIndex(m_pWorkState),
                                    stepAngle, pitch, microStep, driveRat, distance, radius);
}

void CProBaseParam::ShowFields(const CKORVAKT3002Ctrl::AxisCache& c) {
    SetFloat(m_pStepAngle, c.stepAngle);
    SetListIndex(m_pStageStyle, static_cast<std::int16_t>(c.axisStyle));
    SetFloat(m_pPitch, c.pitch);
    SetInt(m_pMicroStep, c.microStep);
    SetInt(m_pDriveRat, c.driveRatio);
    SetInt(m_pRadius, c.radius);
    SetFloat(m_pDistance, c.distance);
    SetListIndex(m_pWorkState, static_cast<std::int16_t>(c.workState));
}

// --- Position Parameters ---

CProPosParam::CProPosParam(CKORVAKT3002Ctrl* control, int axis, QWidget* parent)
    : CParamPage(control, kTemplate, axis, parent) {
    m_pUserOrg = AddEdit(226, "UserOrigin");
    m_pLimitPos = AddEdit(228, "PositiveLimit");
    AddNote(2228, m_pLimitPos, "=0 Unlimited ");
    m_pLimitNeg = AddEdit(231, "NegativeLimit");
    AddNote(2231, m_pLimitNeg, "=0 Unlimited ");
    m_pResolution = AddEdit(234, "EncoderResolution");
    FinishPage(235, "Reload", 224, "Update");
}

bool CProPosParam::ReloadGroup(std::int16_t axis) {
    return m_pControl->ReloadPosParam(axis);
}

bool CProPosParam::ReadFieldsAndWrite(std::int16_t axis, bool* sent) {
    float userOrg = 0, limitPos = 0, limitNeg = 0, resolution = 0;
    if (!ReadFloat(m_pUserOrg, userOrg) || !ReadFloat(m_pLimitPos, limitPos) ||
        !ReadFloat(m_pLimitNeg, limitNeg) || !ReadFloat(m_pResolution, resolution)) {
        return false;
    }
    *sent = true;
    return m_pControl->SetPosParam(axis, userOrg, limitPos, limitNeg, resolution);
}

void CProPosParam::ShowFields(const CKORVAKT3002Ctrl::AxisCache& c) {
    SetFloat(m_pUserOrg, c.userOrigin);
    SetFloat(m_pLimitPos, c.limitPos);
    SetFloat(m_pLimitNeg, c.limitNeg);
    SetFloat(m_pResolution, c.resolution);
}

// --- Run Parameters ---

CProRunParam::CProRunParam(CKORVAKT3002Ctrl* control, int axis, QWidget* parent)
    : CParamPage(control, kTemplate, axis, parent) {
    m_pSpeed = AddEdit(237, "Speed");
    m_pInitSpeed = AddEdit(239, "InitSpeed");
    m_pAccSpeed = AddEdit(241, "AccSpeed");
    m_pDccSpeed = AddEdit(243, "DccSpeed");
    m_pHomeSpeed = AddEdit(245, "HomeSpeed");
    m_pHomeFactor = AddEdit(247, "HomeSpeedFactor");
    // Unit indices in the order of the protocol's letters "d", "m", "s", "u".
    m_pUnit = AddList(249, "Unit",
                      {QStringLiteral("deg"), QStringLiteral("mm"), QStringLiteral("step"),
                       QStringLiteral("um")});
    m_pPosition = AddEdit(251, "Position", /*readOnly=*/true);
    FinishPage(223, "Reload", 253, "Updata");
}

bool CProRunParam::ReloadGroup(std::int16_t axis) {
    return m_pControl->ReloadRunParam(axis);
}

bool CProRunParam::ReadFieldsAndWrite(std::int16_t axis, bool* sent) {
    float speed = 0, initSpeed = 0, acc = 0, dcc = 0, homeSpeed = 0, factor = 0;
    if (!ReadFloat(m_pSpeed, speed) || !ReadFloat(m_pInitSpeed, initSpeed) ||
        !ReadFloat(m_pAccSpeed, acc) || !ReadFloat(m_pDccSpeed, dcc) ||
        !ReadFloat(m_pHomeSpeed, homeSpeed) || !ReadFloat(m_pHomeFactor, factor)) {
        return false;
    }
    // The position is shown only; it is never written.
    *sent = true;
    return m_pControl->SetRunParam(axis, speed, initSpeed, acc, dcc, homeSpeed, factor,
                                   ListIndex(m_pUnit));
}

void CProRunParam::ShowFields(const CKORVAKT3002Ctrl::AxisCache& c) {
    SetFloat(m_pSpeed, c.speed);
    SetFloat(m_pInitSpeed, c.initSpeed);
    SetFloat(m_pAccSpeed, c.accSpeed);
    SetFloat(m_pDccSpeed, c.dccSpeed);
    SetFloat(m_pHomeSpeed, c.homeSpeed);
    SetFloat(m_pHomeFactor, c.homeSpeedFactor);
    SetListIndex(m_pUnit, c.unit);
    SetFloat(m_pPosition, c.position);
}

}  // namespace korva::ui
