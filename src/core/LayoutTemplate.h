#pragma once

#include <QByteArray>
#include <QColor>
#include <QJsonObject>
#include <QString>

#include <array>

namespace vellora {

// One photo size, lengths in 0.1 mm: height, width, count across, count down,
// horizontal distance, vertical distance.
struct PhotoSizeSpec
{
    qint32 height = 0;
    qint32 width = 0;
    qint32 countAcross = 0;
    qint32 countDown = 0;
    qint32 hDistance = 0;
    qint32 vDistance = 0;

    bool operator==(const PhotoSizeSpec&) const = default;
};

// One template row. Lengths in 0.1 mm, flags 1/0, colours as 0x00BBGGRR.
struct LayoutTemplate
{
    QString name;           // 名称
    PhotoSizeSpec size1;    // 尺寸1高度 … 尺寸1纵向距离
    qint32 outputCount = 0; // 照片输出张数
    qint32 twoSize = 0;     // 同底照片不同规格
    qint32 gap = 0;         // 间隔
    PhotoSizeSpec size2;    // 尺寸2高度 … 尺寸2纵向距离
    // 居中打印: the layout reads the settings window's radio box; the value is
    // kept here only to carry it between the store, JSON and that radio box.
    qint32 centred = 0;
    qint32 landscape = 0;    // 纸张横向
    qint32 paperHeight = 0;  // 纸高度
    qint32 paperWidth = 0;   // 纸宽度
    qint32 noNumber = 0;     // 号码不加印
    qint32 numberInside = 0; // 号码里面
    qint32 numberColour = 0; // 字体颜色值
    qint32 frameLines = 0;   // 显示裁切线
    qint32 frameColour = 0;  // 边框线颜色值
    qint32 leftMargin = 0;   // 左边距
    qint32 topMargin = 0;    // 顶边距
    qint32 logo = 0;         // 加标志
    QByteArray logoPicture;  // 标志图片 (BMP file content)

    bool operator==(const LayoutTemplate&) const = default;

    bool numberPrinted() const { return noNumber == 0; }
    bool numberOutside() const { return noNumber == 0 && numberInside == 0; }
};

enum class ColumnKind { Text, Number, Boolean, Bytes };

struct TemplateColumn
{
    QStringView name;
    ColumnKind kind;
};

inline constexpr int kTemplateColumnCount = 29;
// The 29 columns in storage order; column 1 (index 0) is 名称.
extern const std::array<TemplateColumn, kTemplateColumnCount> kTemplateColumns;

// Index of a column by its name, or -1.
int templateColumnIndex(QStringView name);

// The integer behind a number or boolean column (index 1 … 27); nullptr for
// 名称 and 标志图片.
qint32* templateIntField(LayoutTemplate& t, int column);
const qint32* templateIntField(const LayoutTemplate& t, int column);

// The platform colour value (red in the lowest byte) as a QColor and back.
QColor colourFromValue(qint32 value);
qint32 colourToValue(const QColor& colour);

// JSON whose keys are the column names; the logo as base64.
QJsonObject templateToJson(const LayoutTemplate& t);
// Missing keys keep their zero value. A key of the wrong JSON type is refused:
// returns false and names the key in *error.
bool templateFromJson(const QJsonObject& json, LayoutTemplate& out, QString* error);

} // namespace vellora
