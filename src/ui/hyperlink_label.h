// A label that behaves like a web link: link colours and an underlined font, another colour
// while the mouse is over it, a hand cursor, the URL as tool tip, and a click opens the URL in
// the user's web browser.
#pragma once

#include <QColor>
#include <QLabel>
#include <QString>

namespace lumo {

class HyperLinkLabel : public QLabel {
    Q_OBJECT

public:
    explicit HyperLinkLabel(const QString& text = {}, QWidget* parent = nullptr);

    // Makes the label a link; runs by itself when the label is first shown. An empty URL takes
    // the label's text, an empty text shows the URL. Then: underlined font, the control fitted
    // to its text, hand cursor, tool tip.
    void attach();
    bool attached() const { return attached_; }

    void SetURL(const QString& url);
    QString url() const { return url_; }
    void SetVisited(bool visited);
    bool visited() const { return visited_; }
    bool hovered() const { return over_; }
    // The colour the text is drawn in now.
    QColor textColour() const;

    // Result codes of GotoURL: above 32 means the URL was handed to a browser.
    static constexpr int OpenedCode = 33;
    static constexpr int FileNotFoundCode = 2;
    static constexpr int NoAssociationCode = 31;

    // Opens url with the desktop's URL handler; failing that, with the command in $BROWSER (the
    // first of a colon-separated list; a "%1" or "%s" placeholder, quoted or not, marks where the
    // URL goes, otherwise it is appended). Returns OpenedCode or a failure code.
    static int GotoURL(const QString& url);
    // Opens a web address a text carried (http or https alone; anything else is refused, false),
    // telling the player in a box over `parent` when no browser took it.
    static bool openWebAddress(const QString& url, QWidget* parent);
    // Shows "Unable to open hyperlink:" and the text for a GotoURL failure code.
    void ReportError(int code);
    static QString errorText(int code);
    // What the player is told when `url` could not be opened: the cause and what to do.
    static QString failureText(const QString& url, int code);

    static const QColor LinkColour;
    static const QColor VisitedColour;

protected:
    void showEvent(QShowEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void positionWindow();
    void updateColour();
    void onClicked();

    QColor hoverColour_;
    bool over_ = false;
    bool visited_ = false;
    bool underline_ = true;
    bool adjustToFit_ = true;
    bool attached_ = false;
    QString url_;
};

}  // namespace lumo
