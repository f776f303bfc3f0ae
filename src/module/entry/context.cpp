#include "context.h"

QString stCdFilial;
QString stNmFilial;
QString stCdPaciente;
double dtConsulta = 0;
bool BostCriado = false;
bool boPrimVez = false;
bool boHistDoen = false;
bool boHistClin = false;
bool boHistFam = false;
bool boExamFisi = false;
QPointer<TfrmDiagPaci> frmDiagPaci;
QPointer<TfrmListDiagPaci> frmListDiagPaci;
