#pragma once
// The three parameter pages of the sheet: Base (201), Position (203) and
// Run (204) parameters of one axis at a time.
#include "ParamPage.h"

namespace korva::ui {

class CProBaseParam : public CParamPage {
    Q_OBJECT
  public:
    static constexpr int kTemplate = 201;
    CProBaseParam(CKORVAKT3002Ctrl* control, int axis, QWidget* parent = nullptr);

  protected:
    bool ReloadGroup(std::int16_t axis) override;
    bool ReadFieldsAndWrite(std::int16_t axis, bool* sent) override;
    void ShowFields(const CKORVAKT3002Ctrl::AxisCache& cache) override;

  private:
    QLineEdit* m_pStepAngle;
    QComboBox* m_pStageStyle;
    QLineEdit* m_pPitch;
    QLineEdit* m_pMicroStep;
    QLineEdit* m_pDriveRat;
    QLineEdit* m_pRadius;
    QLineEdit* m_pDistance;
    QComboBox* m_pWorkState;
};

class CProPosParam : public CParamPage {
    Q_OBJECT
  public:
    static constexpr int kTemplate = 203;
    CProPosParam(CKORVAKT3002Ctrl* control, int axis, QWidget* parent = nullptr);

  protected:
    bool ReloadGroup(std::int16_t axis) override;
    bool ReadFieldsAndWrite(std::int16_t axis, bool* sent) override;
    void ShowFields(const CKORVAKT3002Ctrl::AxisCache& cache) override;

  private:
    QLineEdit* m_pUserOrg;
    QLineEdit* m_pLimitPos;
    QLineEdit* m_pLimitNeg;
    QLineEdit* m_pResolution;
};

class CProRunParam : public CParamPage {
    Q_OBJECT
  public:
    static constexpr int kTemplate = 204;
    CProRunParam(CKORVAKT3002Ctrl* control, int axis, QWidget* parent = nullptr);

  protected:
    bool ReloadGroup(std::int16_t axis) override;
    bool ReadFieldsAndWrite(std::int16_t axis, bool* sent) override;
    void ShowFields(const CKORVAKT3002Ctrl::AxisCache& cache) override;

  private:
    QLineEdit* m_pSpeed;
    QLineEdit* m_pInitSpeed;
    QLineEdit* m_pAccSpeed;
    QLineEdit* m_pDccSpeed;
    QLineEdit* m_pHomeSpeed;
    QLineEdit* m_pHomeFactor;
    QComboBox* m_pUnit;
    QLineEdit* m_pPosition;
};

}  // namespace korva::ui
