#include "platform/platform.h"
#include "profile.h"

int main(int argc, char** argv) {
  platformStart();
  const int status = runProfile(argc, argv);
  return platformEnd(status);
}
