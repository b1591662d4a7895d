#include "Stagedesk.h"

int main(int argc, char** argv) {
    return stagedesk::RunStagedesk(argc, argv);
}
