// screenshot FILE [X Y WIDTH HEIGHT]: saves the whole X screen, or the
// rectangle given, as a PNG image (for the end-to-end test's pictures).
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 2 && argc != 6) {
    std::fprintf(stderr, "usage: screenshot FILE.png [X Y WIDTH HEIGHT]\n");
    return 2;
  }
  QGuiApplication application(argc, argv);
  QScreen* screen = QGuiApplication::primaryScreen();
  int rect[4] = {0, 0, -1, -1};
  for (int i = 0; argc == 6 && i < 4; ++i) rect[i] = std::atoi(argv[2 + i]);
  if (screen == nullptr ||
      !screen->grabWindow(0, rect[0], rect[1], rect[2], rect[3]).save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "screenshot: cannot save %s\n", argv[1]);
    return 1;
  }
  return 0;
}
