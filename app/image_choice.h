// Choosing the firmware image in the standard open-file dialog.
#ifndef FLASHTOOL_APP_IMAGE_CHOICE_H
#define FLASHTOOL_APP_IMAGE_CHOICE_H

// 1 when a path was placed in the image path list, 0 when nothing changed.
int ChooseImageFile();

#endif
