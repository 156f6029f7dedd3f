import { useState } from "react";
import { checkOut, createEmptyTree, createTemplateInfo, createTreeForEditing, updateTemplateInfo } from "../api/edit";
import { ApiError } from "../api/errors";
import { keys, useCatalog, useEngineMutation } from "../api/queries";
import type { TemplateRow } from "../api/types";
import { ErrorNotice } from "../components/ErrorNotice";
import { Modal } from "../components/Modal";

const TREE_EXISTS = 1204;

interface Props {
  /** The template to change; none = a new one. */
  template?: TemplateRow;
  onClose: () => void;
}

interface Fields {
  name: string;
  comment: string;
  category: number;
}

/** A template's description: a new template (with its empty tree) or a change to one. */
export function TemplateDialog({ template, onClose }: Props) {
  const catalog = useCatalog();
  const [name, setName] = useState(template?.name ?? "");
  const [comment, setComment] = useState(template?.comment ?? "");
  const [category, setCategory] = useState(template?.productCategory ?? 0);
  // A template whose description was made but whose tree was not is finished on
  // the next try, not made a second time.
  const [createdId, setCreatedId] = useState<number | null>(null);
  const save = useEngineMutation(
    async (f: Fields) => {
      if (template) return updateTemplateInfo(template.id, f.name, f.comment, f.category);
      if (createdId === null) {
        const id = await createTemplateInfo(f.name, f.comment, f.category);
        setCreatedId(id);
        await createTreeForEditing({ treeType: 2, id });
        return null;
      }
      await updateTemplateInfo(createdId, f.name, f.comment, f.category);
      try {
        await createEmptyTree({ treeType: 2, id: createdId });
      } catch (e) {
        // The tree may have been made on the try before.
        if (!(e instanceof ApiError && e.number === TREE_EXISTS)) throw e;
      }
      await checkOut({ treeType: 2, id: createdId });
      return null;
    },
    () => (template ? [keys.tree(2, template.id)] : []),
  );
  return (
    <Modal title={template ? `Edit template ${template.name}` : "New template"} onClose={onClose}>
      <form
        className="form-grid"
        onSubmit={(e) => {
          e.preventDefault();
          save.mutate({ name: name.trim(), comment, category }, { onSuccess: onClose });
        }}
      >
        <label htmlFor="template-name">Name</label>
        <input id="template-name" required value={name} onChange={(e) => setName(e.target.value)} />
        <label htmlFor="template-comment">Comment</label>
        <textarea id="template-comment" value={comment} onChange={(e) => setComment(e.target.value)} />
        <label htmlFor="template-category">Product category</label>
        <select id="template-category" value={category} onChange={(e) => setCategory(Number(e.target.value))}>
          <option value={0}>No category</option>
          {(catalog.data?.categories ?? []).map((c) => (
            <option key={c.id} value={c.id}>
              {c.name}
            </option>
          ))}
        </select>
        <p className="hint">The category decides which audiences the template's nodes may be visible to.</p>
        <ErrorNotice error={save.error} />
        <div className="dialog-actions">
          <button type="button" onClick={onClose}>
            Cancel
          </button>
          <button type="submit" className="primary" disabled={!name.trim() || save.isPending}>
            {template ? "Save" : "Create template"}
          </button>
        </div>
      </form>
    </Modal>
  );
}
