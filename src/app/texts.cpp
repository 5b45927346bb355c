#include "app/texts.h"

#include "net/group_endpoint.h"

namespace lumo::text {

QString describe(const BindProblem& problem)
{
    const QString address = problem.bindAddress ? QString::fromStdString(dottedAddress(*problem.bindAddress)) : QString();
    const QString where = problem.bindAddress ? OnAddress.arg(address) : OnThisMachine;
    const QString port = QString::number(problem.port);
    switch (problem.error) {
    case QAbstractSocket::AddressInUseError: return PortInUse.arg(where, port);
    case QAbstractSocket::SocketAddressNotAvailableError: return NoSuchAddress.arg(address);
    case QAbstractSocket::SocketAccessError: return PortForbidden.arg(where, port);
    default: return PortUnusable.arg(where, port, problem.errorText);
    }
}

}  // namespace lumo::text
