import { useId, useState, type ReactNode } from "react";
import { ErrorNotice } from "./ErrorNotice";
import { Modal } from "./Modal";

interface ConfirmDialogProps {
  title: string;
  children: ReactNode;
  confirmLabel: string;
  /** Runs the action; the dialog stays open with the error when it fails. */
  onConfirm: () => Promise<unknown>;
  onClose: () => void;
  danger?: boolean;
}

export function ConfirmDialog({ title, children, confirmLabel, onConfirm, onClose, danger }: ConfirmDialogProps) {
  const [busy, setBusy] = useState(false);
  const [error, setError] = useState<unknown>(null);
  const bodyId = useId();
  async function confirm() {
    setBusy(true);
    setError(null);
    try {
      await onConfirm();
      onClose();
    } catch (e) {
      setError(e);
    } finally {
      setBusy(false);
    }
  }
  return (
    <Modal title={title} onClose={onClose} describedBy={bodyId}>
      <div id={bodyId}>{children}</div>
      <ErrorNotice error={error} />
      <div className="dialog-actions">
        <button type="button" onClick={onClose}>
          Cancel
        </button>
        <button type="button" className={danger ? "danger primary" : "primary"} onClick={() => void confirm()} disabled={busy}>
          {confirmLabel}
        </button>
      </div>
    </Modal>
  );
}
