import { useEffect, useId, useRef, type ReactNode } from "react";

interface ModalProps {
  title: string;
  /** Called when the user closes the dialog (Escape or a close button). */
  onClose: () => void;
  children: ReactNode;
  /** Extra text read out with the title. */
  describedBy?: string;
}

/** A native modal dialog, labelled by its title; open while it is rendered. */
export function Modal({ title, onClose, children, describedBy }: ModalProps) {
  const ref = useRef<HTMLDialogElement>(null);
  const titleId = useId();
  useEffect(() => {
    const dialog = ref.current;
    if (!dialog) return;
    if (typeof dialog.showModal === "function" && !dialog.open) dialog.showModal();
    else dialog.setAttribute("open", "");
    // The field marked data-autofocus gets the focus, not merely the first control.
    dialog.querySelector<HTMLElement>("[data-autofocus]")?.focus();
    return () => {
      if (typeof dialog.close === "function" && dialog.open) dialog.close();
    };
  }, []);
  return (
    <dialog
      ref={ref}
      aria-labelledby={titleId}
      aria-describedby={describedBy}
      onCancel={(e) => {
        e.preventDefault();
        onClose();
      }}
    >
      <h2 id={titleId}>{title}</h2>
      {children}
    </dialog>
  );
}
