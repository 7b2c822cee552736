// What the picture area shows: a live picture or the logo. A picture as
// large as the area covers its background and its box entirely; while one
// is shown, the background is not filled first, which at every frame cost
// about as much as drawing the picture itself. Whatever shows less than the
// whole area (the logo) gets its background as before.
#ifndef VIEW_PICTURELABEL_H
#define VIEW_PICTURELABEL_H

class QLabel;
class QPixmap;

void ShowOnPictureArea(QLabel *area, const QPixmap &pixmap);

#endif
