#include "app/qt/firmware_writer_app.h"

int main(int argc, char** argv) {
  kesto::app::CFirmwareWriterApp app(argc, argv);
  return app.InitInstance();
}
