// "Verify Copies" in the File menu: each backup reads its copies back once
// they are on disk (BackupEngine::SetVerify), and the choice is kept in the
// settings file for the next start.
#include "ui/form1.h"

void Form1::menuItemVerify_Click(bool checked)
{
    if (settings_) settings_->SetFlag("verify", checked);
}
