#include "ui/hyperlink_label.h"

#include "ui/message_box.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMouseEvent>
#include <QProcess>
#include <QUrl>

namespace lumo {

const QColor HyperLinkLabel::LinkColour = QColor(0, 0, 238);
const QColor HyperLinkLabel::VisitedColour = QColor(85, 26, 139);

namespace {

// The browser command up to its URL placeholder: a quoted "%1" first, then a bare %1, and the
// same for the %s that $BROWSER commands commonly use. Without one, the whole command.
QString commandBeforePlaceholder(const QString& command)
{
    for (const char* placeholder : {"\"%1\"", "%1", "\"%s\"", "%s"}) {
        const qsizetype at = command.indexOf(QLatin1String(placeholder));
        if (at >= 0) return command.left(at);
    }
    return command;
}

}  // namespace

HyperLinkLabel::HyperLinkLabel(const QString& text, QWidget* parent)
    : QLabel(text, parent), hoverColour_(palette().color(QPalette::Highlight))
{
    updateColour();
}

void HyperLinkLabel::attach()
{
    if (attached_) return;
    attached_ = true;
    if (url_.isEmpty()) url_ = text();
    if (text().isEmpty()) setText(url_);
    QFont underlined = font();
    underlined.setUnderline(underline_);
    setFont(underlined);
    positionWindow();
    setCursor(Qt::PointingHandCursor);
    setToolTip(url_);
    updateColour();
}

void HyperLinkLabel::SetURL(const QString& url)
{
    url_ = url;
    if (!attached_) return;
    positionWindow();
    setToolTip(url_);
}

void HyperLinkLabel::SetVisited(bool visited)
{
    visited_ = visited;
    updateColour();
}

QColor HyperLinkLabel::textColour() const { return palette().color(QPalette::WindowText); }

void HyperLinkLabel::updateColour()
{
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, over_ ? hoverColour_ : visited_ ? VisitedColour : LinkColour);
    setPalette(colours);
}

// Fits the control to its text, keeping it where its alignment anchors it.
void HyperLinkLabel::positionWindow()
{
    if (!adjustToFit_) return;
    QRect area = geometry();
    const QFontMetrics metrics(font());
    const int textWidth = metrics.horizontalAdvance(text());
    const int textHeight = metrics.height();
    const Qt::Alignment align = alignment();

    if (align & Qt::AlignVCenter) {
        const int shrink = (area.height() - textHeight) / 2;
        area.setTop(area.top() + shrink);
        area.setHeight(textHeight);
    } else {
        area.setHeight(textHeight);
    }
    if (align & Qt::AlignHCenter) {
        const int shrink = (area.width() - textWidth) / 2;
        area.setLeft(area.left() + shrink);
        area.setWidth(textWidth);
    } else if (align & Qt::AlignRight) {
        area.setLeft(area.right() + 1 - textWidth);
    } else {
        area.setWidth(textWidth);
    }
    setGeometry(area);
}

void HyperLinkLabel::showEvent(QShowEvent* event)
{
    attach();
    QLabel::showEvent(event);
}

void HyperLinkLabel::enterEvent(QEnterEvent* event)
{
    QLabel::enterEvent(event);
    over_ = true;
    updateColour();
    repaint();
}

void HyperLinkLabel::leaveEvent(QEvent* event)
{
    QLabel::leaveEvent(event);
    over_ = false;
    updateColour();
    repaint();
}

void HyperLinkLabel::mouseReleaseEvent(QMouseEvent* event)
{
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) onClicked();
}

void HyperLinkLabel::onClicked()
{
    const int result = GotoURL(url_);
    visited_ = result > 32;
    if (visited_) {
        SetVisited(true);
    } else {
        updateColour();
        QApplication::beep();
        ReportError(result);
    }
}

int HyperLinkLabel::GotoURL(const QString& url)
{
    if (!url.isEmpty() && QDesktopServices::openUrl(QUrl(url, QUrl::TolerantMode))) return OpenedCode;

    const QString browsers = qEnvironmentVariable("BROWSER");
    QString command;
    for (const QString& entry : browsers.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        if (!entry.trimmed().isEmpty()) {
            command = entry;
            break;
        }
    }
    if (command.isEmpty()) return NoAssociationCode;
    // The URL stays one argument whatever it contains.
    QStringList arguments = QProcess::splitCommand(commandBeforePlaceholder(command));
    if (arguments.isEmpty()) return NoAssociationCode;
    const QString program = arguments.takeFirst();
    arguments.append(url);
    return QProcess::startDetached(program, arguments) ? OpenedCode : FileNotFoundCode;
}

bool HyperLinkLabel::openWebAddress(const QString& url, QWidget* parent)
{
    const QUrl address(url, QUrl::StrictMode);
    const QString scheme = address.scheme().toLower();
    if (!address.isValid() || address.host().isEmpty() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return false;
    const int result = GotoURL(address.toString(QUrl::FullyEncoded));
    if (result > 32) return true;
    MessageBoxes::current().inform(parent, QStringLiteral("LUMO"), failureText(url, result));
    return false;
}

QString HyperLinkLabel::errorText(int code)
{
    switch (code) {
    case FileNotFoundCode:
        return tr("找不到 BROWSER 环境变量指定的浏览器程序。");
    case NoAssociationCode:
        return tr("本机没有可以打开网页的程序。");
    case 0:
    case 8:
        return tr("系统资源不足。");
    default:
        return tr("未知错误（%1）。").arg(code);
    }
}

QString HyperLinkLabel::failureText(const QString& url, int code)
{
    return tr("无法打开网页 %1\n%2\n请安装一个网页浏览器（或用 BROWSER 环境变量指定一个），然后再试。")
        .arg(url, errorText(code));
}

void HyperLinkLabel::ReportError(int code)
{
    MessageBoxes::current().inform(this, QStringLiteral("LUMO"), failureText(url_, code));
}

}  // namespace lumo
